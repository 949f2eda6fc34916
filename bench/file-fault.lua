-- wrk script for bench/file-fault.py: classifies every answer as the page
-- (either version), the fallback page, or other, and prints the counts.
-- The expected bodies come from the files named by FAULT_PAGE_A,
-- FAULT_PAGE_B and FAULT_FALLBACK.

local threads = {}

local function read(variable)
  local file = assert(io.open(os.getenv(variable), "rb"))
  local bytes = file:read("*a")
  file:close()
  return bytes
end

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  page_a, page_b, fallback = read("FAULT_PAGE_A"), read("FAULT_PAGE_B"), read("FAULT_FALLBACK")
  pages, fallbacks, others = 0, 0, 0
end

function response(status, headers, body)
  if status ~= 200 or headers["TrResult"] ~= "-1" then
    others = others + 1
  elseif body == page_a or body == page_b then
    pages = pages + 1
  elseif body == fallback then
    fallbacks = fallbacks + 1
  else
    others = others + 1
  end
end

function done(summary, latency, requests)
  local pages, fallbacks, others = 0, 0, 0
  for _, thread in ipairs(threads) do
    pages = pages + thread:get("pages")
    fallbacks = fallbacks + thread:get("fallbacks")
    others = others + thread:get("others")
  end
  local errors = summary.errors
  io.write(string.format("classified page %d fallback %d other %d socket-errors %d\n", pages,
                         fallbacks, others,
                         errors.connect + errors.read + errors.write + errors.timeout))
end

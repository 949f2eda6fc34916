// The check of the status and header block a module passes with
// HSE_REQ_SEND_RESPONSE_HEADER(_EX).
#pragma once

#include <string_view>

#include "server/core/host_core.h"

namespace isapi {

// Fills `head` from the module's status and header block: status, header
// lines, the block as sent on, and framing kContentLength (with its
// content_length) when the block has Content-Length, else kFrontEnd. A
// "Transfer-Encoding: chunked" line sets *chunked and is left out of
// `head`: the core decodes the chunks. `body` gets the bytes after the
// block's blank line, which belong to the answer's body. Returns false for
// a status or block the core must not pass on (the answer is then a 500):
// a code below 200, a control character, a bare CR or LF, a line fold, a
// name that is not a token, a malformed or contradictory Content-Length, a
// transfer coding other than chunked, or both framings at once.
bool ParseResponseHead(std::string_view status, std::string_view block, ResponseHead* head,
                       bool* chunked, std::string_view* body);

}  // namespace isapi

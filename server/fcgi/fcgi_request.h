// Turns the parameters of a FastCGI responder request into the host core's
// Request. The web server in front (nginx) has already parsed the HTTP
// request; its CGI-style parameters carry everything the core needs.
#pragma once

#include <string>

#include "server/core/host_core.h"
#include "server/fcgi/fcgi_record.h"

namespace isapi_fcgi {

// Fills `request` from `params`, the name-value pairs of the request's
// parameter block. The body is left empty; the caller moves it in. Unknown
// names are ignored. Missing parameters leave
// their fields empty or are derived from the others:
//   REQUEST_METHOD -> method              QUERY_STRING -> query
//   REQUEST_URI    -> target (else path + "?" + query)
//   SCRIPT_NAME    -> script_name         SCRIPT_NAME + PATH_INFO -> path
//                                         (else DOCUMENT_URI, else the
//                                         decoded path of REQUEST_URI)
//   without PATH_INFO, a SCRIPT_NAME that goes on past a segment named
//   *.dll ("/x.dll/more") is split there: script_name "/x.dll", path
//   "/x.dll/more"
//   SERVER_PROTOCOL -> protocol           SERVER_SOFTWARE -> server_software
//   REMOTE_ADDR/REMOTE_PORT -> remote_*   SERVER_ADDR/SERVER_PORT -> local_*
//   SERVER_NAME    -> server_name (else Host without port, else SERVER_ADDR)
//   HTTPS          -> https, when set and not "off"
//   HTTP_<NAME>    -> header "<Name>" (ACCEPT_LANGUAGE -> Accept-Language),
//                     once per parameter, in parameter order
//   CONTENT_TYPE / CONTENT_LENGTH -> "Content-Type" / "Content-Length"
//                     headers unless HTTP_ ones carried them already; a
//                     CONTENT_LENGTH that is not a decimal number adds none
// Returns false, with `request` filled all the same, when a Host header is
// one isapi::IsValidHost refuses (the caller answers 400, as isapi-server
// does). Thread-safe.
bool RequestFromParams(const Params& params, isapi::Request* request);

// The HTTP header name for the part of an HTTP_ parameter after the prefix:
// each '_' becomes '-', each word is capitalised ("USER_AGENT" ->
// "User-Agent").
std::string HeaderNameFromParam(const std::string& param_suffix);

}  // namespace isapi_fcgi

// The server's paths, as one table: each handler decodes its query, asks the catalogue and
// gives back a page or a typed error, which its route's kind renders (a plain-text error for the
// pages, LRCLIB's JSON error for its API). Every answer the server gives, errors included, is
// decided here.
#pragma once

#include "http/server.h"
#include "service/catalogue.h"
#include "text/text.h"

namespace talvo {

// Answers one request: GET and HEAD only (405 with Allow otherwise), a query of at most 8 KiB
// (414), '%' escapes well formed (400), a known path (404 plain text), an index that opens
// (503). The plugin's show page is in its code page; other clients may send UTF-8. Only LRCLIB's
// API may be read by other sites' scripts (Access-Control-Allow-Origin): the pages tell what
// the user plays.
http::Response Respond(Catalogue& catalogue, const CodePage& codePage,
                       const http::Request& request);

}  // namespace talvo

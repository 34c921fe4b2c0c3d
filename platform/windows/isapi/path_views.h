// The readings of a request path that IIS, or a handler or backend behind it, may act on.
//
// IIS maps a request by its "URL" variable: the path decoded, "\" read as "/", dot segments
// resolved, ";" an ordinary character. What then serves it may read the path otherwise:
//   - the file system drops trailing dots and blanks of names ("/app./x" is the file app\x),
//   - ASP.NET drops cookieless tokens such as "/(S(abc))/" before it maps the path,
//   - the ANSI code page's best fit reads full-width dots and slashes (U+FF0E, U+FF0F) as "." and
//     "/",
//   - a reverse proxy forwards the raw path (UNENCODED_URL), which a backend decodes once or
//     twice, may read ";params" off each segment (before or after decoding), may end the path at
//     a decoded NUL, and resolves dot segments afterwards: "/public/..;/app/x" or
//     "/public/..%3B/app/x" is "/app/x" there.
// The gate's decision must hold for every one of them: a request is protected when any reading
// is, and exempt (error page, reload, cancel) only when every reading is.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tokengate::isapi {

// `url` is the "URL" variable; `raw` the raw paths of the request (UNENCODED_URL, HTTP_URL), each
// without its query. Returns the readings other than `url` itself, each once, in a fixed order.
std::vector<std::string> PathViews(std::string_view url, const std::vector<std::string>& raw);

// One percent-decoding pass: "%XX" and, as IIS also accepts it, "%uXXXX" for characters below
// 0x80; anything else stays as it is. A decoded NUL stays in the text.
std::string PercentDecodeOnce(std::string_view text);

// Reads `path` the way a file-serving backend resolves it: "\" as "/", empty segments dropped,
// ";params" cut off each segment when `cutParams`, cookieless tokens dropped, trailing dots and
// blanks of names dropped, "." and ".." resolved (never above the root).
std::string ResolvePath(std::string_view path, bool cutParams);

}  // namespace tokengate::isapi

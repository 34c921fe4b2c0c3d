// Request-header and URL rules the Apache host applies around the gate core. Pure functions over
// byte strings, so they are tested without a running web server.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tokengate/gate/header_rules.h"

namespace tokengate::apache {

// The rules shared with every other host.
using gate::CarriesAttributePrefix;
using gate::NamesAlike;
using gate::NormalisedHeaderName;
using gate::PrivateCacheControl;

using HeaderLine = std::pair<std::string, std::string>;
// A header line as views into text that outlives it (a header block, Apache's header table).
struct HeaderView {
  std::string_view name;
  std::string_view value;
  friend bool operator==(const HeaderView&, const HeaderView&) = default;
};

// True when `name` holds an underscore. Such request headers are kept out of the header text the
// gate retains for a protected request: CGI and many proxy backends read "_" and "-" alike, so a
// client could otherwise pass one off as an attribute header.
bool HasUnderscore(std::string_view name) noexcept;

// Header lines asked "is this one of them": a few are scanned, many are sorted once and searched,
// so that a request with many headers costs no more than sorting them.
class HeaderLineSet {
 public:
  explicit HeaderLineSet(std::vector<HeaderView> lines);
  bool Contains(const HeaderView& line) const;

 private:
  std::vector<HeaderView> lines_;
  bool sorted_;
};

// ASCII letters compared without regard to case, every other byte as it is.
bool EqualsIgnoreCase(std::string_view a, std::string_view b) noexcept;

// True for a header that ALL_RAW carries: a name that is not empty and has no underscore.
bool InAllRaw(std::string_view name) noexcept;

// True for the headers that frame the request body (Content-Length, Transfer-Encoding): Apache
// has already read the request by them, so the header set the request continues with must carry
// them exactly as the client sent them.
bool IsFramingHeader(std::string_view name) noexcept;

// `lines` with every framing header removed and the request's own framing headers (`original`,
// in their order) appended, so the body is read exactly as Apache has framed it.
std::vector<HeaderLine> KeepRequestFraming(std::vector<HeaderLine> lines,
                                           const std::vector<HeaderLine>& original);
// The same over views.
std::vector<HeaderView> KeepRequestFramingViews(std::vector<HeaderView> lines,
                                                const std::vector<HeaderView>& original);

// The request headers in request order as "Name: value\r\n" lines, leaving out names with an
// underscore.
std::string BuildAllRaw(const std::vector<HeaderLine>& headers);

// Splits a child header block ("Name: value\r\n" lines) into name and value. Blanks after the
// colon are skipped. A line is dropped when it has no colon, its name is empty or holds anything
// but HTTP token characters, or it holds a control character other than a tab (a stray CR or NUL
// must never reach a backend inside a header).
std::vector<HeaderLine> ParseHeaderBlock(std::string_view block);
// The same as views into `block`.
std::vector<HeaderView> ParseHeaderBlockViews(std::string_view block);

// The header set a protected request continues with. `child` is the block the gate built (the
// retained request headers followed by the attribute headers); `original` the request's own
// headers. A line of `child` that is not one of `original` was added by the gate. Dropped: every
// line from the request whose name has an underscore, and every line from the request whose name
// matches an added one once "_" is read as "-" and case is ignored.
std::vector<HeaderLine> ChildHeaderSet(const std::vector<HeaderLine>& child,
                                       const std::vector<HeaderLine>& original);
// The same over views; the result refers to the lines of `child`.
std::vector<HeaderView> ChildHeaderSetViews(const std::vector<HeaderView>& child,
                                            std::vector<HeaderView> original);
// The same with the request's own headers already made a set, for a caller that asks it again.
std::vector<HeaderView> ChildHeaderSetViews(const std::vector<HeaderView>& child,
                                            const HeaderLineSet& fromRequest);

// The decoded request path as the pattern lists see it first (the "URL" variable): the same
// resource as a backend behind Apache would read it. "%2F" (left encoded under AllowEncodedSlashes
// NoDecode) and "\" count as "/"; ";parameters" are removed from every segment; empty and "."
// segments are dropped and ".." removes the segment before it; a final "/" is kept. So
// "/app;x/a", "/public%2F..%2Fapp/a" and "/app\a" all give "/app/a". It is one reading among
// several (OtherPathReadings): "/app/run.cgi/..;/" reads as "/" here, while Apache runs run.cgi.
std::string PathForMatching(std::string_view path);

// `path` with Apache's own dot rules: empty and "." segments dropped, ".." removes the segment
// before it (never above the root), a final "/" kept; ";" and "\" are ordinary characters.
std::string ResolveDotSegments(std::string_view path);

// `text` with every "%XX" escape decoded once; "%00" and malformed escapes stay as they are.
std::string DecodeOnce(std::string_view text);

// `text` decoded until no escape is left, as the most lenient decoder reads it: "%XX", "%uXXXX"
// of an ASCII character, over-long UTF-8 forms and full-width forms (U+FF01 to U+FF5E) of ASCII
// characters, also where decoding forms a new escape ("%252e" gives "."). Never decodes anything
// to a NUL. Linear in the length of `text`.
std::string DecodeFully(std::string_view text);

// The path of a request-target as the client sent it (still encoded): without query and
// fragment, and for the absolute form ("http://host/path") without scheme and authority.
std::string_view RequestTargetPath(std::string_view target) noexcept;

// The request-target of a request line ("GET /path?x HTTP/1.1" gives "/path?x").
std::string_view RequestLineTarget(std::string_view line) noexcept;

// The readings of a request's path that Apache or a backend behind it may act on, besides
// PathForMatching(uri), each once and none equal to it; empty (and nothing allocated) when every
// reading is that one, which is the case for every plain path. `uri` is Apache's decoded,
// normalised path (r->uri), `target` the request-target of this request (r->unparsed_uri), and
// `original` the client's own request-target when the gate never judged the client's request
// (Apache refused it before the gate's phase and an ErrorDocument took over; CGI scripts still
// read it as REQUEST_URI), else empty. The readings: `uri` itself; `uri` decoded once more and
// fully, the backend way; each target decoded once, raw, with Apache's dot rules, the backend way,
// and fully decoded the backend way.
std::vector<std::string> OtherPathReadings(std::string_view uri, std::string_view target,
                                           std::string_view original = {});

// True when `location` may go into a Location header: not empty and free of control characters
// (CR, LF, NUL and the rest of 0x00-0x1F, and 0x7F), so it cannot end the header or start another.
bool IsSafeLocation(std::string_view location) noexcept;

// `text` with control characters written as \xNN, for one line of Apache's error log.
std::string EscapeForLog(std::string_view text);

}  // namespace tokengate::apache

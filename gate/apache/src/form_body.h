// The start of a form-encoded request body, read before the gate runs (so that a token posted as a
// form field can be found) and handed again to whatever handles the request.
#pragma once

#include <string_view>

struct request_rec;

namespace tokengate::apache {

// Registers the input filter that hands the read part of the body back; from register_hooks.
void RegisterBodyReplayFilter();

// For a POST with Content-Type application/x-www-form-urlencoded: reads at most `limit` bytes of
// the body, puts them back in front of the rest of the body, and returns them (request pool
// memory). Empty for other requests or when nothing could be read.
std::string_view PreReadFormBody(request_rec* r, std::size_t limit);

}  // namespace tokengate::apache

#include "form_body.h"

#include <strings.h>

#include <cstdlib>
#include <string>

#include "apache_headers.h"

namespace tokengate::apache {

namespace {

ap_filter_rec_t* gReplayFilter = nullptr;

// Serves the body bytes read ahead (held in f->ctx), then the rest of the body from the filters
// below; removes itself once the bytes read ahead are gone.
apr_status_t ReplayBody(ap_filter_t* f, apr_bucket_brigade* bb, ap_input_mode_t mode,
                        apr_read_type_e block, apr_off_t readbytes) {
  auto* saved = static_cast<apr_bucket_brigade*>(f->ctx);
  if (saved == nullptr || APR_BRIGADE_EMPTY(saved)) {
    ap_remove_input_filter(f);
    return ap_get_brigade(f->next, bb, mode, block, readbytes);
  }
  switch (mode) {
    case AP_MODE_EXHAUSTIVE:
      APR_BRIGADE_CONCAT(bb, saved);
      return APR_SUCCESS;
    case AP_MODE_GETLINE:
      return apr_brigade_split_line(bb, saved, block, HUGE_STRING_LEN);
    case AP_MODE_READBYTES:
    case AP_MODE_SPECULATIVE: {
      apr_bucket* after = nullptr;
      const apr_status_t rv = apr_brigade_partition(saved, readbytes, &after);
      if (rv != APR_SUCCESS && rv != APR_INCOMPLETE) {
        return rv;
      }
      for (apr_bucket* b = APR_BRIGADE_FIRST(saved);
           b != APR_BRIGADE_SENTINEL(saved) && b != after;) {
        apr_bucket* next = APR_BUCKET_NEXT(b);
        if (mode == AP_MODE_SPECULATIVE) {
          apr_bucket* copy = nullptr;
          if (apr_bucket_copy(b, &copy) == APR_SUCCESS) {
            APR_BRIGADE_INSERT_TAIL(bb, copy);
          }
        } else {
          APR_BUCKET_REMOVE(b);
          APR_BRIGADE_INSERT_TAIL(bb, b);
        }
        b = next;
      }
      return APR_SUCCESS;
    }
    default:
      return ap_get_brigade(f->next, bb, mode, block, readbytes);
  }
}

bool IsFormPost(const request_rec* r) {
  if (r->method_number != M_POST) {
    return false;
  }
  const char* type = apr_table_get(r->headers_in, "Content-Type");
  constexpr char kForm[] = "application/x-www-form-urlencoded";
  if (type == nullptr || strncasecmp(type, kForm, sizeof kForm - 1) != 0) {
    return false;
  }
  const char t = type[sizeof kForm - 1];
  if (t != '\0' && t != ';' && t != ' ' && t != '\t') {
    return false;
  }
  const char* length = apr_table_get(r->headers_in, "Content-Length");
  const bool hasLength = length != nullptr && std::strtoll(length, nullptr, 10) > 0;
  return hasLength || apr_table_get(r->headers_in, "Transfer-Encoding") != nullptr;
}

}  // namespace

void RegisterBodyReplayFilter() {
  gReplayFilter =
      ap_register_input_filter("TOKENGATE_BODY_REPLAY", ReplayBody, nullptr, AP_FTYPE_RESOURCE);
}

std::string_view PreReadFormBody(request_rec* r, std::size_t limit) {
  if (gReplayFilter == nullptr || limit == 0 || !IsFormPost(r)) {
    return {};
  }
  apr_bucket_alloc_t* alloc = r->connection->bucket_alloc;
  apr_bucket_brigade* saved = apr_brigade_create(r->pool, alloc);
  apr_bucket_brigade* chunk = apr_brigade_create(r->pool, alloc);
  std::string text;
  bool ended = false;
  while (!ended && text.size() < limit) {
    const apr_status_t rv =
        ap_get_brigade(r->input_filters, chunk, AP_MODE_READBYTES, APR_BLOCK_READ,
                       static_cast<apr_off_t>(limit - text.size()));
    if (rv != APR_SUCCESS) {
      break;  // the handler meets the same failure when it reads the body
    }
    if (APR_BRIGADE_EMPTY(chunk)) {
      break;
    }
    while (!APR_BRIGADE_EMPTY(chunk)) {
      apr_bucket* b = APR_BRIGADE_FIRST(chunk);
      if (APR_BUCKET_IS_EOS(b)) {
        ended = true;
      } else if (!APR_BUCKET_IS_METADATA(b)) {
        const char* data = nullptr;
        apr_size_t size = 0;
        if (apr_bucket_read(b, &data, &size, APR_BLOCK_READ) == APR_SUCCESS) {
          text.append(data, size);
        }
      }
      apr_bucket_setaside(b, r->pool);
      APR_BUCKET_REMOVE(b);
      APR_BRIGADE_INSERT_TAIL(saved, b);
    }
  }
  if (APR_BRIGADE_EMPTY(saved)) {
    return {};
  }
  ap_add_input_filter_handle(gReplayFilter, saved, r, r->connection);
  return {apr_pstrmemdup(r->pool, text.data(), text.size()), text.size()};
}

}  // namespace tokengate::apache

// The httpd and APR headers, in one place (httpd.h has to come first).
#pragma once

// clang-format off
#include <httpd.h>
#include <http_config.h>
#include <http_core.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>
#include <http_ssl.h>
#include <mod_auth.h>
#include <ap_mpm.h>
#include <apr_strings.h>
#include <apr_tables.h>
// clang-format on

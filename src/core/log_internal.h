// The logger as the library calls it. Each internal function is the exported
// call with the "kv_" prefix dropped, and does what it does; the library's
// own messages come here directly, so an application that defines a function
// named kv_log cannot take them. Applications use kv_log() itself.
#pragma once

#include <cstdarg>

#include "kavri/log.h"

namespace kavri::core {

int log(unsigned level, const char *tag, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
int vlog(unsigned level, const char *tag, const char *fmt, va_list args)
    __attribute__((format(printf, 3, 0)));
int log_enable(unsigned sink, unsigned level, const char *file_name);
int log_disable();

}  // namespace kavri::core

// Logging shorthands: each pairs a level with the tag the logger prints for it.
#define KV_TRC(...) ::kavri::core::log(KV_LOG_TRC, "TRC", __VA_ARGS__)
#define KV_DBG(...) ::kavri::core::log(KV_LOG_DBG, "DBG", __VA_ARGS__)
#define KV_INF(...) ::kavri::core::log(KV_LOG_INF, "INF", __VA_ARGS__)
#define KV_WRN(...) ::kavri::core::log(KV_LOG_WRN, "WRN", __VA_ARGS__)
#define KV_ERR(...) ::kavri::core::log(KV_LOG_ERR, "ERR", __VA_ARGS__)

// Logging shorthands used inside the library: each pairs a level with the
// tag the logger prints for it. Applications use kv_log() itself.
#pragma once

#include "kavri/log.h"

#define KV_TRC(...) kv_log(KV_LOG_TRC, "TRC", __VA_ARGS__)
#define KV_DBG(...) kv_log(KV_LOG_DBG, "DBG", __VA_ARGS__)
#define KV_INF(...) kv_log(KV_LOG_INF, "INF", __VA_ARGS__)
#define KV_WRN(...) kv_log(KV_LOG_WRN, "WRN", __VA_ARGS__)
#define KV_ERR(...) kv_log(KV_LOG_ERR, "ERR", __VA_ARGS__)

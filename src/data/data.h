// The data transfer's steps as the library calls them. Each is the exported
// call of the same name with the "al_" or "kavri_" prefix dropped: the same
// checks, messages and results. The library calls these, never the exported
// symbols, which an application may replace.
#pragma once

#include <cstdint>

#include "kavri/data.h"

namespace kavri::data {

uint16_t data_calc_crc(const uint8_t *bytes, uint32_t len);
int32_t get_data_info(kavri_ll_t *ll, uint8_t value, uint8_t *buf, uint8_t len);
int32_t get_data_payload(kavri_ll_t *ll, uint8_t *buf, uint16_t len);
int32_t data_read_action_info(kavri_ll_t *ll, uint8_t action, uint8_t *out);
int32_t data_send_action_info(kavri_ll_t *ll, uint8_t action, const uint8_t *record);
int32_t data_build_file_buffer(const char *path, uint32_t *size);
int32_t bin_data_read(kavri_ll_t *ll, uint8_t type, const char *path);
int32_t bin_data_write(kavri_ll_t *ll, uint8_t type, uint16_t version, uint32_t addr,
                       const char *path);

}  // namespace kavri::data

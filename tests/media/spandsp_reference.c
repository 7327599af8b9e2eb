/* The independent G.711 coder the tests compare against, wrapped in C so its
 * headers need no C++ care. */
#include <stdint.h>
#include <spandsp/telephony.h>
#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>

#include "tests/media/spandsp_reference.h"

uint8_t ref_linear_to_alaw(int x) { return linear_to_alaw(x); }
int16_t ref_alaw_to_linear(uint8_t a) { return alaw_to_linear(a); }
uint8_t ref_linear_to_ulaw(int x) { return linear_to_ulaw(x); }
int16_t ref_ulaw_to_linear(uint8_t u) { return ulaw_to_linear(u); }
uint8_t ref_alaw_to_ulaw(uint8_t a) { return alaw_to_ulaw(a); }
uint8_t ref_ulaw_to_alaw(uint8_t u) { return ulaw_to_alaw(u); }

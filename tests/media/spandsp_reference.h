#pragma once
#include <stdint.h>
#ifdef __cplusplus
extern "C" {
#endif
uint8_t ref_linear_to_alaw(int x);
int16_t ref_alaw_to_linear(uint8_t a);
uint8_t ref_linear_to_ulaw(int x);
int16_t ref_ulaw_to_linear(uint8_t u);
uint8_t ref_alaw_to_ulaw(uint8_t a);
uint8_t ref_ulaw_to_alaw(uint8_t u);
#ifdef __cplusplus
}
#endif

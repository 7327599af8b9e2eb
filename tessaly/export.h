// Marks what leaves the library; everything else is hidden.
#pragma once

#define TESSALY_EXPORT __attribute__((visibility("default")))

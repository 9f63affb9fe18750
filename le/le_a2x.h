/*
 * le_core: streaming audio-to-expression (le_a2x_*), C interface.
 * Errors follow the convention described in le/le.h; this family's reader is
 * le_a2x_last_error.
 */
#ifndef LE_LE_A2X_H
#define LE_LE_A2X_H

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

LE_API const char* le_a2x_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_A2X_H */

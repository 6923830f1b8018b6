/* Export and linkage macros shared by the kernel headers (C-compatible). */
#ifndef KVR_API_H
#define KVR_API_H

#include <stdint.h>

#if defined(_WIN32)
#  define KVR_API __declspec(dllexport)
#else
#  define KVR_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#  define KVR_EXTERN_C_BEGIN extern "C" {
#  define KVR_EXTERN_C_END }
#else
#  define KVR_EXTERN_C_BEGIN
#  define KVR_EXTERN_C_END
#endif

#endif

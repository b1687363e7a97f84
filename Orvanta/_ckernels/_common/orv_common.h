/* Scalar types and declaration helpers shared by every native header of the
 * package. Usable from C99 and from C++. */
#ifndef ORV_COMMON_H
#define ORV_COMMON_H

#include <stdint.h>

typedef double f64;
typedef int64_t i64;

/* Exported symbols are marked one by one; the library is built with hidden
 * visibility so that nothing else leaks out of the shared object. */
#if defined(_WIN32)
#define ORV_API __declspec(dllexport)
#else
#define ORV_API __attribute__((visibility("default")))
#endif

/* Non-overlap declaration for pointer parameters, in either language. */
#ifdef __cplusplus
#define ORV_RESTRICT __restrict
#define ORV_BEGIN_C extern "C" {
#define ORV_END_C }
#else
#define ORV_RESTRICT restrict
#define ORV_BEGIN_C
#define ORV_END_C
#endif

#endif /* ORV_COMMON_H */

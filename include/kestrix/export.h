/* Symbol visibility and linkage for the public interface of libkestrix.
 *
 * The shared library is built with hidden visibility: only what a public
 * header marks with KESTRIX_API leaves the shared object. */
#ifndef KESTRIX_EXPORT_H
#define KESTRIX_EXPORT_H

#if defined(__GNUC__)
#define KESTRIX_API __attribute__((visibility("default")))
#else
#define KESTRIX_API
#endif

#ifdef __cplusplus
#define KESTRIX_BEGIN_C extern "C" {
#define KESTRIX_END_C }
#else
#define KESTRIX_BEGIN_C
#define KESTRIX_END_C
#endif

#endif

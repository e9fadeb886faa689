/* Export macro and C linkage helpers shared by every public header. */
#ifndef KAVRI_EXPORT_H
#define KAVRI_EXPORT_H

#if defined(_WIN32)
#define KAVRI_API __declspec(dllexport)
#else
#define KAVRI_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define KAVRI_BEGIN_DECLS extern "C" {
#define KAVRI_END_DECLS }
#else
#define KAVRI_BEGIN_DECLS
#define KAVRI_END_DECLS
#endif

#ifdef __cplusplus
#define KAVRI_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define KAVRI_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#endif /* KAVRI_EXPORT_H */

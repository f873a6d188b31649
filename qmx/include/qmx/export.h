// Export and import of the support library's interface.
#ifndef QMX_EXPORT_H
#define QMX_EXPORT_H

#if defined(_WIN32)
#  if defined(QMX_BUILDING)
#    define QMX_API __declspec(dllexport)
#  else
#    define QMX_API __declspec(dllimport)
#  endif
#  define QMX_PRINTF(fmt, first) __attribute__((format(ms_printf, fmt, first)))
#else
#  define QMX_API __attribute__((visibility("default")))
#  define QMX_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#endif

#endif

#ifndef TOLVARINE_CONTROLLER_EXPORT_H
#define TOLVARINE_CONTROLLER_EXPORT_H

// Marks the classes and functions that the shared library exports. The
// library is built with hidden visibility, so everything else stays internal.
#if defined(TOLVARINE_CONTROLLER_STATIC)
#define TOLVARINE_CONTROLLER_API
#elif defined(_WIN32)
#if defined(TOLVARINE_CONTROLLER_BUILDING)
#define TOLVARINE_CONTROLLER_API __declspec(dllexport)
#else
#define TOLVARINE_CONTROLLER_API __declspec(dllimport)
#endif
#else
#define TOLVARINE_CONTROLLER_API __attribute__((visibility("default")))
#endif

#endif  // TOLVARINE_CONTROLLER_EXPORT_H

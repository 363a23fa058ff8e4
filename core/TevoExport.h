#pragma once

// Symbols of the library are hidden by default; every class and free function
// that belongs to the public interface carries this mark.
#if defined(TEVO_BUILDING_LIBRARY)
#define TEVO_EXPORT __attribute__((visibility("default")))
#else
#define TEVO_EXPORT
#endif

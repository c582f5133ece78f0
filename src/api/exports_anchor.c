/* The shared library is linked from the core archive; this unit only gives
   CMake a source of its own for the library target. */
typedef int audioenhancer_exports_anchor;

/* The one visibility switch of the module: everything is hidden unless marked with it.
   Plain C, so that both the C++ host interface and the C interface can use it. On Windows
   it puts the function into the DLL's export table; the exported functions have C linkage
   and the compiler's default convention, in which the caller removes the arguments. */
#ifndef IP_EXPORT_H
#define IP_EXPORT_H
#if defined(AMBREVO_BUILDING_MODULE) && defined(_WIN32)
#define IP_EXPORT __declspec(dllexport)
#elif defined(AMBREVO_BUILDING_MODULE)
#define IP_EXPORT __attribute__((visibility("default")))
#else
#define IP_EXPORT
#endif
#endif

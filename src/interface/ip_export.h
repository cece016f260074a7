/* The one visibility switch of the module: everything is hidden unless marked with it.
   Plain C, so that both the C++ host interface and the C interface can use it. */
#ifndef IP_EXPORT_H
#define IP_EXPORT_H
#if defined(AMBREVO_BUILDING_MODULE)
#define IP_EXPORT __attribute__((visibility("default")))
#else
#define IP_EXPORT
#endif
#endif

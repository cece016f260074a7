// Loads like a module but offers only one of the exports a host needs.
extern "C" __attribute__((visibility("default"))) int ip_dllAdaptor_create(const void*, const void*) { return 0; }

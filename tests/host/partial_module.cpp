// Loads like a module but offers only the first of the functions a host needs.
extern "C" __attribute__((visibility("default"))) const char* ambrevo_interface_version() { return "1.4.0"; }

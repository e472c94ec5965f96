// Linked with WinplatRefusingStartupModule: starts only if that module
// initialises.
extern "C" int winplat_refusing_module_value(void);

int main() { return winplat_refusing_module_value() == 5 ? 0 : 1; }

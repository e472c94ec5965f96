// Export and import markers for the small libraries these tests build.
#ifndef TESTS_PLATFORM_COM_TEST_EXPORTS_H
#define TESTS_PLATFORM_COM_TEST_EXPORTS_H

#if defined(_WIN32)
#define TEST_EXPORT extern "C" __declspec(dllexport)
#else
#define TEST_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#endif  // TESTS_PLATFORM_COM_TEST_EXPORTS_H

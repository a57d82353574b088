#pragma once

// A shared library that starts a thread of its own, as Qt, gRPC or libcurl
// do: the call to pthread_create is made from inside the library.

extern "C" {

// Starts a detached thread that runs `body(argument)`; 0 or an error number.
int flt_test_library_start_thread(void (*body)(void*), void* argument);
}

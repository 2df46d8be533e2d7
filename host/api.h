#pragma once

// Symbols of the host framework and of the provider classes that cross the plug-in boundary.
// The plug-in is built with hidden visibility; everything marked XQR_API keeps one identity
// (vtables, typeinfo) between the host process and the loaded library, so that the host can
// dynamic_cast what the library hands it.
#define XQR_API __attribute__((visibility("default")))

#pragma once
// Marks what the shared libraries export. They are built with
// -fvisibility=hidden, so everything without this mark (the engine's backends,
// its SQL helpers) stays inside the library that defines it.
#define ZR_EXPORT __attribute__((visibility("default")))

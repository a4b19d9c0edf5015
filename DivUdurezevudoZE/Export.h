#pragma once
// Marks the classes and functions that libDivUdurezevudoZE exports.
#define DIVU_EXPORT __attribute__((visibility("default")))

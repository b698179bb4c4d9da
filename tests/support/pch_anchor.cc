// The program that makes the test programs' precompiled header (main comes
// from GoogleTest's); never run.
#include <gtest/gtest.h>

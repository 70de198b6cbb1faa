// Sees only the public header: what a host program sees.
#include "api/pixoria.h"

#include <gtest/gtest.h>

TEST(Exports, BackendStatusIsZero) { EXPECT_EQ(pxo_scan_backend_status(), 0); }

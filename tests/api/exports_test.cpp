// Sees only the public header: what a host program sees.
#include "api/pixoria.h"

#include <cstring>

#include <gtest/gtest.h>

TEST(Exports, CameraListAnswersEvenWithoutCameras) {
  pxo_camera_list* list = pxo_scan_camera_list();
  ASSERT_NE(list, nullptr);
  int64_t count = pxo_camera_list_count(list);
  EXPECT_GE(count, 0);
  for (int32_t bad : {-1, static_cast<int32_t>(count)}) {
    ASSERT_NE(pxo_camera_list_id(list, bad), nullptr);
    EXPECT_STREQ(pxo_camera_list_id(list, bad), "");
    EXPECT_STREQ(pxo_camera_list_name(list, bad), "");
  }
  for (int32_t i = 0; i < count; ++i)
    EXPECT_GT(std::strlen(pxo_camera_list_id(list, i)), 0u);
  pxo_camera_list_free(list);

  EXPECT_EQ(pxo_camera_list_count(nullptr), 0);
  EXPECT_STREQ(pxo_camera_list_id(nullptr, 0), "");
  EXPECT_STREQ(pxo_camera_list_name(nullptr, 0), "");
  pxo_camera_list_free(nullptr);
}

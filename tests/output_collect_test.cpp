// The PSNR and size report printed at close.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "encoder/encoder_instance.h"
#include "support/test_records.h"

namespace {

row_context *report_records()
{
    row_context *row = test_row_context_new();
    row->enc->config.fps_num = 25;
    row->enc->config.fps_den = 1;
    return row;
}

TEST(Report, ZeroPicturesPrintZeros)
{
    row_context *records = report_records();
    testing::internal::CaptureStderr();
    encoder_report_print(records->enc);
    std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(text,
              "frame count : 0  B 0 P 0 I 0\n"
              "PSNR      Y        U        V   Global        size    kbps\n"
              "B:  0.0000  0.0000  0.0000  0.0000           0  0.00\n"
              "P:  0.0000  0.0000  0.0000  0.0000           0  0.00\n"
              "I:  0.0000  0.0000  0.0000  0.0000           0  0.00\n"
              "average:  0.0000  0.0000  0.0000    Global:  0.0000\n"
              "\n0.00 kbps   0 bytes\n");
    std::free(records);
}

TEST(Report, ClassAveragesAndBitrates)
{
    row_context *records = report_records();
    coding_totals *st = &records->enc->totals;
    st->class_pictures[2] = 1;   // one I picture of 5000 bytes
    st->class_bytes[2] = 5000;
    st->psnr_sum[2][0] = 40.0;
    st->psnr_sum[2][1] = 44.0;
    st->psnr_sum[2][2] = 48.0;
    st->class_pictures[1] = 2;   // two P pictures of 1000 bytes together
    st->class_bytes[1] = 1000;
    st->psnr_sum[1][0] = 70.0;
    st->psnr_sum[1][1] = 80.0;
    st->psnr_sum[1][2] = 90.0;
    testing::internal::CaptureStderr();
    encoder_report_print(records->enc);
    std::string text = testing::internal::GetCapturedStderr();
    EXPECT_NE(text.find("frame count : 3  B 0 P 2 I 1\n"), std::string::npos) << text;
    // 5000 bytes in one picture of 40 ms: 1000 kbit/s.
    EXPECT_NE(text.find("I:  40.0000  44.0000  48.0000  41.5000        5000  1000.00\n"), std::string::npos) << text;
    EXPECT_NE(text.find("P:  35.0000  40.0000  45.0000  36.8750        1000  100.00\n"), std::string::npos) << text;
    EXPECT_NE(text.find("average:  36.6667  41.3333  46.0000    Global:  38.4167\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n400.00 kbps   6000 bytes\n"), std::string::npos) << text;
    std::free(records);
}

}  // namespace

// The kernel's calls into the image check the calling convention: a completion routine that
// returns without removing its arguments, as one compiled without NTAPI does, is reported.
#include <driver_image.h>
#include <gtest/gtest.h>
#include <harness.h>

#include <string>
#include <vector>

#include "../common/make_cdecl.h"

namespace
{

TEST(ImageGate, CompletionRoutineThatLeavesItsArgumentsIsReported)
{
    std::vector<standin::Finding> findings;
    const standin::FindingHandler previous = standin::SetFindingHandler(
        [&findings](const standin::Finding& f) { findings.push_back(f); });
    {
        standin::DriverImage image;
        std::string error;
        ASSERT_TRUE(image.Load(NMEAFILT_IMAGE_PATH, &error)) << error;
        ASSERT_TRUE(MakeCdecl(image, NMEAFILT_IMAGE_MAP, "FilterReadComplete"));
        standin::Harness h;
        h.Load(image);
        h.AddDevice();
        h.Start();
        h.Open();
        EXPECT_TRUE(findings.empty());
        h.Port().QueueRead(standin::ReadOutcome::Data("$GPGSA,A,1,,,,,,,,,,,,,,,*1E\r\n"));
        h.Read(64);
        h.Close();
        h.Remove();
        h.Unload();
    }
    standin::SetFindingHandler(previous);
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].Rule, "calling-convention");
    EXPECT_NE(findings[0].Message.find("completion routine"), std::string::npos);
    EXPECT_NE(findings[0].Message.find("removed 0 of its 12 argument bytes"), std::string::npos)
        << findings[0].Message;
}

} // namespace

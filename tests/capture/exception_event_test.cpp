#include "capture/exception_event.h"

#include <string>

#include "capture_fixture.h"

namespace {

using capture_test::CaptureTest;
using capture_test::kDumpPath;

constexpr common::HResult kInsufficientBuffer = static_cast<common::HResult>(0x8007007Au);
constexpr common::HResult kInvalidArg = static_cast<common::HResult>(0x80070057u);

class ExceptionEventTest : public CaptureTest {
 protected:
  common::HResult Call(char16_t* event_name, std::uint32_t* size) {
    return capture::OnExceptionEvent(fake.Ports(), &info, 0x10000, &claimed, event_name, size,
                                     &signatures);
  }

  std::int32_t claimed = 77;
  std::uint32_t signatures = 77;
  char16_t name[64] = u"untouched";
};

TEST_F(ExceptionEventTest, ClaimsACapturedCrashUnderTheEventName) {
  for (std::uint32_t given : {31u, 64u}) {
    std::uint32_t size = given;
    EXPECT_EQ(Call(name, &size), common::kOk);
    EXPECT_EQ(std::u16string(name), u"QuorvandelmirathornClientCrash");
    EXPECT_EQ(size, 31u);
    EXPECT_EQ(claimed, 1);
    EXPECT_EQ(signatures, 0u);
  }
  EXPECT_TRUE(fake.Exists(kDumpPath));
}

TEST_F(ExceptionEventTest, MissingOutPointersAreRefusedBeforeAnything) {
  std::uint32_t size = 64;
  EXPECT_EQ(capture::OnExceptionEvent(fake.Ports(), &info, 0x10000, nullptr, name, &size, &signatures),
            kInvalidArg);
  EXPECT_EQ(capture::OnExceptionEvent(fake.Ports(), &info, 0x10000, &claimed, name, nullptr, &signatures),
            kInvalidArg);
  EXPECT_EQ(capture::OnExceptionEvent(fake.Ports(), &info, 0x10000, &claimed, name, &size, nullptr),
            kInvalidArg);
  EXPECT_EQ(claimed, 77);
  EXPECT_EQ(signatures, 77u);
  EXPECT_EQ(size, 64u);
  EXPECT_EQ(std::u16string(name), u"untouched");
  EXPECT_TRUE(fake.dump_requests.empty());
  EXPECT_EQ(fake.folders.count(u"D:\\Game\\Crash"), 0u);
}

TEST_F(ExceptionEventTest, AFailedCaptureLeavesTheCrashUnclaimed) {
  std::uint32_t size = 64;
  info.process = nullptr;
  EXPECT_EQ(Call(name, &size), common::kOk);
  EXPECT_EQ(claimed, 0);
  EXPECT_EQ(signatures, 0u);
  EXPECT_EQ(size, 64u);
  EXPECT_EQ(std::u16string(name), u"untouched");

  claimed = 77;
  EXPECT_EQ(capture::OnExceptionEvent(fake.Ports(), nullptr, 0x10000, &claimed, name, &size,
                                      &signatures),
            common::kOk);
  EXPECT_EQ(claimed, 0);

  info.process = reinterpret_cast<capture::Handle>(std::uintptr_t{0x44});
  fake.image_path = u"D:\\Game\\Client64.exe";
  EXPECT_EQ(Call(name, &size), common::kOk);
  EXPECT_EQ(claimed, 0);
  ExpectNothingWritten();
}

// WER asks again with a bigger buffer; the capture has run by then and is not repeated
// by this call, so the crash is on disk and the notifier is up even though unclaimed.
TEST_F(ExceptionEventTest, AMissingOrShortEventBufferStillCapturesButDoesNotClaim) {
  std::uint32_t size = 64;
  EXPECT_EQ(Call(nullptr, &size), kInsufficientBuffer);
  EXPECT_EQ(size, 31u);
  EXPECT_EQ(claimed, 0);
  EXPECT_EQ(signatures, 0u);
  EXPECT_TRUE(fake.Exists(kDumpPath));
  EXPECT_EQ(fake.starts.size(), 1u);

  claimed = 77;
  size = 30;
  EXPECT_EQ(Call(name, &size), kInsufficientBuffer);
  EXPECT_EQ(size, 31u);
  EXPECT_EQ(claimed, 0);
  EXPECT_EQ(std::u16string(name), u"untouched");
  EXPECT_EQ(fake.starts.size(), 2u);
  ExpectHandlesBalanced();
}

TEST_F(ExceptionEventTest, AnInvalidBufferSizeFailsTheCopyAndDoesNotClaim) {
  std::uint32_t size = 0x80000000u;  // beyond what a bounded copy accepts
  EXPECT_EQ(Call(name, &size), kInsufficientBuffer);
  EXPECT_EQ(claimed, 0);
}

TEST(DebuggerLaunch, NeverOffersADebugger) {
  std::int32_t custom = 5;
  std::int32_t autolaunch = 5;
  EXPECT_EQ(capture::OnDebuggerLaunch(&custom, &autolaunch), common::kOk);
  EXPECT_EQ(custom, 0);
  EXPECT_EQ(autolaunch, 0);
  EXPECT_EQ(capture::OnDebuggerLaunch(nullptr, &autolaunch), kInvalidArg);
  EXPECT_EQ(capture::OnDebuggerLaunch(&custom, nullptr), kInvalidArg);
}

}  // namespace

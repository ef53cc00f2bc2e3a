// Compares common::BoundedCopy/BoundedFormat with StringCchCopyW/StringCchPrintfW on the
// same inputs: the result code and every unit of the buffer must agree.
#include <windows.h>
#include <strsafe.h>

#include <gtest/gtest.h>

#include <array>
#include <cwchar>
#include <string>

#include "common/bounded_string.h"

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

const wchar_t* W(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

constexpr std::size_t kBuffer = 300;
using Buffer = std::array<char16_t, kBuffer>;

Buffer Filled() {
  Buffer b;
  b.fill(u'#');
  return b;
}

struct CopyCase {
  std::size_t capacity;
  const char16_t* source;
};

TEST(BoundedCopyOracle, AgreesWithStringCchCopyW) {
  const std::u16string long_path(259, u'p');
  const CopyCase cases[] = {
      {1, u""}, {1, u"a"}, {2, u"a"}, {5, u"hello"}, {6, u"hello"}, {260, long_path.c_str()},
      {259, long_path.c_str()}, {31, u"QuorvandelmirathornClientCrash"},
      {30, u"QuorvandelmirathornClientCrash"}, {8, u"\u00fc\U0001F600x"}, {3, u"\U0001F600x"},
  };
  for (const CopyCase& c : cases) {
    Buffer ours = Filled(), theirs = Filled();
    const HRESULT expected = StringCchCopyW(reinterpret_cast<wchar_t*>(theirs.data()), c.capacity, W(c.source));
    const common::HResult got = common::BoundedCopy(ours.data(), c.capacity, c.source);
    EXPECT_EQ(got, expected) << "capacity " << c.capacity;
    EXPECT_EQ(ours, theirs) << "capacity " << c.capacity;
  }
}

TEST(BoundedCopyOracle, InvalidCapacitiesFailAlike) {
  Buffer ours = Filled(), theirs = Filled();
  for (std::size_t capacity : {std::size_t{0}, std::size_t{2147483648u}}) {
    const HRESULT expected = StringCchCopyW(reinterpret_cast<wchar_t*>(theirs.data()), capacity, L"a");
    EXPECT_EQ(common::BoundedCopy(ours.data(), capacity, u"a"), expected) << capacity;
  }
  // Capacity 0 touches nothing on either side. For an oversized capacity this
  // toolchain's strsafe leaves the buffer alone, while ours empties it as the platform
  // SDK documents; neither writes beyond the first unit.
  EXPECT_EQ(ours[1], u'#');
  EXPECT_EQ(theirs[1], u'#');
}

// Runs both formatters over the same format and arguments and compares.
template <typename... Args>
void ExpectSameFormat(std::size_t capacity, const char16_t* format, Args... args) {
  Buffer ours = Filled(), theirs = Filled();
  const HRESULT expected =
      StringCchPrintfW(reinterpret_cast<wchar_t*>(theirs.data()), capacity, W(format), args...);
  auto portable = [](auto a) -> common::FormatArg {
    if constexpr (std::is_same_v<decltype(a), const wchar_t*>) {
      return common::FormatArg(reinterpret_cast<const char16_t*>(a));
    } else {
      return common::FormatArg(a);
    }
  };
  const common::HResult got = common::BoundedFormat(ours.data(), capacity, format, {portable(args)...});
  EXPECT_EQ(got, expected) << "capacity " << capacity;
  // The platform's formatter leaves units after the terminator alone when it fits, and so
  // do we; compare the whole buffer so a stray write shows.
  EXPECT_EQ(ours, theirs) << "capacity " << capacity;
}

TEST(BoundedFormatOracle, AgreesWithStringCchPrintfW) {
  const wchar_t* dir = L"D:\\Game";
  const wchar_t* crash = L"D:\\Game\\Crash";
  const wchar_t* pattern = L"%s\\Client%s_%s_%04u-%02u-%02u_%02u-%02u-%02u%s_%s.dmp";
  const auto* p16 = reinterpret_cast<const char16_t*>(pattern);
  for (std::size_t capacity : {std::size_t{260}, std::size_t{70}, std::size_t{69}, std::size_t{68},
                               std::size_t{20}, std::size_t{1}}) {
    ExpectSameFormat(capacity, p16, crash, L"_Dev", L"10.1.0.0", 2026u, 12u, 8u, 7u, 41u, 5u,
                     L"_nightly", L"ENGB");
  }
  for (std::size_t capacity : {std::size_t{260}, std::size_t{14}, std::size_t{13}, std::size_t{2}}) {
    ExpectSameFormat(capacity, u"%s\\Crash", dir);
    ExpectSameFormat(capacity, u"%s\\Vostrel.ini", dir);
    ExpectSameFormat(capacity, u"%u.%u.%u.%u", 65535u, 0u, 10u, 7u);
    ExpectSameFormat(capacity, u"%04u-%02u", 12345u, 7u);
    ExpectSameFormat(capacity, u"\"%s\" --module=\"%s\"", L"D:\\Game\\Brisvane.exe", L"");
    ExpectSameFormat(capacity, u"100%% %s", L"\u00fc\u00df");
  }
  ExpectSameFormat(2048, u"%s\n\nDetected external module: %s\n%s", L"base", L"nvwgf2umx.dll",
                   L"Update or clean-install the NVIDIA driver and disable GPU overlays.");
  ExpectSameFormat(5, u"%u", 4294967295u);
  ExpectSameFormat(11, u"%u", 4294967295u);
  ExpectSameFormat(12, u"%lu", 4294967295u);
}

TEST(BoundedFormatOracle, InvalidCapacitiesFailAlike) {
  Buffer ours = Filled(), theirs = Filled();
  for (std::size_t capacity : {std::size_t{0}, std::size_t{2147483648u}}) {
    const HRESULT expected =
        StringCchPrintfW(reinterpret_cast<wchar_t*>(theirs.data()), capacity, L"%u", 1u);
    EXPECT_EQ(common::BoundedFormat(ours.data(), capacity, u"%u", {1u}), expected) << capacity;
  }
  EXPECT_EQ(ours[1], u'#');
  EXPECT_EQ(theirs[1], u'#');
}

}  // namespace

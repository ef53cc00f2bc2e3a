// The largest report the composer is ever asked for: many modules and both client texts
// at their full length (the first of three-byte characters). Shared by the heap check and
// the benchmark so both measure the same composition.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "capture/report.h"
#include "fakes/fake_platform.h"

namespace reporttest {

struct FullReport {
  fakes::FakePlatform fake;
  std::unique_ptr<CrashContextBlock> block = std::make_unique<CrashContextBlock>();
  capture::CrashInfo info;
  std::vector<char> report = std::vector<char>(capture::kReportCapacity);

  FullReport(int module_count, const std::u16string& module_name) {
    for (int i = 0; i < module_count; ++i) fake.modules.push_back({0, 0, module_name});
    std::fill(std::begin(block->reportText1), std::end(block->reportText1) - 1, u'\u20AC');
    std::fill(std::begin(block->reportText2), std::end(block->reportText2) - 1, u'x');
    info.process = reinterpret_cast<capture::Handle>(0x100);
    info.thread = reinterpret_cast<capture::Handle>(0x200);
    info.code = 0xC0000005;
    info.address = 0x7FFB2C4A1F3E;
  }

  void Compose() {
    capture::ComposeReport(fake.Ports(), info, block.get(), u"nvwgf2umx.dll", report.data(),
                           report.size());
  }
};

}  // namespace reporttest

// Builds crash context blocks for the tests and places them in a fake process.
#pragma once

#include <cstring>
#include <string>

#include "capture/context_block.h"
#include "fakes/fake_platform.h"

namespace naming_tests {

inline CrashContextBlock MakeBlock(std::uint32_t development = 0, std::u16string_view tag = u"",
                                   std::u16string_view language = u"") {
  CrashContextBlock block;
  std::memset(&block, 0, sizeof(block));
  block.size = CRASH_CONTEXT_BLOCK_SIZE;
  block.version = CRASH_CONTEXT_BLOCK_VERSION;
  block.developmentBuild = development;
  std::memcpy(block.tag, tag.data(), std::min(tag.size(), std::size(block.tag)) * 2);
  std::memcpy(block.language, language.data(), std::min(language.size(), std::size(block.language)) * 2);
  return block;
}

// Puts `block` at the start of the fake process's memory; returns its address.
inline std::uint64_t Place(fakes::FakePlatform& process, const CrashContextBlock& block) {
  process.memory.resize(sizeof(block));
  std::memcpy(process.memory.data(), &block, sizeof(block));
  return process.memory_base;
}

}  // namespace naming_tests

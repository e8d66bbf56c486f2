// End-to-end upload cases, one table for every host program: the Linux test
// loads libchunkup.so with dlopen, the Windows host loads chunkup.dll with
// LoadLibraryW under wine. Both run the same cases (upload_cases.cpp) against
// the real reference service, through the five exports only.
//
// A host fills Setting() before the cases run (from a gtest Environment).
#pragma once

#include <filesystem>
#include <string>

#include "chunkup.h"

namespace chunkup::testing {

// The five exports as the host resolved them.
struct UploadExports {
  decltype(&::UploadFile) upload = nullptr;
  decltype(&::GetUploadInfo) info = nullptr;
  decltype(&::CancelUpload) cancel = nullptr;
  decltype(&::PauseUpload) pause = nullptr;
  decltype(&::RestartUpload) restart = nullptr;
};

struct E2eSetting {
  UploadExports exports;
  // The service the library's build talks to: base URL of file service and web site.
  std::string serviceBaseUrl;
  // The stand-in browser appends every URL it is asked to open to this file.
  std::filesystem::path openedPages;
  // Non-empty: why the cases cannot run in this process.
  std::string unavailable;
  // Skip instead of failing while unavailable (the Linux suite shares its
  // port with other test runs on the machine; the wine suite must not skip).
  bool skipWhenUnavailable = false;
};

E2eSetting& Setting();

// Identifiers count up from 1 in a process. Whatever registers a new task
// claims the next one here first, so the cases know a task's identifier
// before its UploadFile returns.
uint32_t ClaimNextTaskId();

}  // namespace chunkup::testing

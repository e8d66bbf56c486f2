// What the prepare and commit requests share: the document that names the
// file, and the address of the file service.
#pragma once

#include <json/value.h>

#include <string>

namespace chunkup {

class CFileTask;

inline constexpr const char* kPreparePutPath = "/anonymous/prepare_put";
inline constexpr const char* kCommitPutPath = "/anonymous/commit_put";
inline constexpr const char* kPathPrefix = "home/";

// "path", "keys" (one per chunk, in chunk order), "chunkSize" and "fileSize".
Json::Value MakeFileDocument(CFileTask& task);
// The file-service host followed by `path`. A written scheme (https://) is
// used as written; without one the request is plain HTTP.
std::string FileServiceUrl(const CFileTask& task, const char* path);

}  // namespace chunkup

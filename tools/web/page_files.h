// tools/web/page_files.h
//
// The console page's files (tools/web/page/), compiled into the binary by
// embed_page.cmake, so that an installed tarvin-remote serves its page
// without any file beside it.
//
// Threads: constant data; any thread.
#pragma once

#include <cstddef>
#include <span>

namespace web {

struct PageFile {
  const char* name;  // "index.html"
  const char* contentType;
  const unsigned char* data;
  std::size_t size;
};

std::span<const PageFile> pageFiles();

}  // namespace web

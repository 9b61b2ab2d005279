// Feeds arbitrary bytes as a site map file to the reader, driven the way
// the loader drives it (scan, check, rewind, read into a map, check again,
// close), then swaps the map in and looks sites up so that the copy into a
// hit site record runs on whatever the file held. Any result code is fine;
// nothing may crash, leak or hang.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "fuzz/fuzzroot.h"
#include "sitemap/tssitemapreader.h"
#include "sitemap/tssiteparammap.h"
#include "sitemap/tssiteparams.h"

namespace {

const std::string& ScratchDir() {
  return ScratchRoot("kyrfuzz-sitemap");
}

// The value in the "kyrid" column of the first data line, as the reader
// would split it, so that a lookup can hit a site the input defines.
std::string FirstKyrId(const tsSiteMapReader& reader, std::string_view text) {
  size_t column = 0;
  const auto& columns = reader.FieldColumns();
  while (column < columns.size() && columns[column] != tsSiteParamRecord::kKyrId)
    ++column;
  if (column == columns.size())
    return "";
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos)
      end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    if (line.empty() || line[0] == '#')
      continue;
    for (size_t i = 0; i < column; ++i) {
      size_t comma = line.find(',');
      if (comma == std::string_view::npos)
        return "";
      line.remove_prefix(comma + 1);
    }
    return std::string(line.substr(0, line.find(',')));
  }
  return "";
}

void UseHeaders(const tsSiteMapReader& reader, int32_t rc) {
  volatile size_t sink = reader.Digest().size() + reader.Application().size() +
                         reader.Version().size() + reader.Date().size() + reader.Fields().size() +
                         reader.FileLength().size() + reader.LineCount().size() +
                         reader.CheckSum().size() + reader.FieldColumns().size() +
                         static_cast<size_t>(reader.DataLines());
  sink = sink + std::string_view(tsSiteMapReader::ResultText(rc)).size();
  (void)sink;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ScratchDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = ScratchDir() + "/smap.lst";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }

  tsSiteMapReader reader;
  if (reader.Open(path) != tsSiteMapReader::kOk)
    return 0;
  int32_t rc = reader.ScanFile(0, nullptr);
  UseHeaders(reader, rc);
  rc = reader.CheckFile(true);
  UseHeaders(reader, rc);
  rc = reader.Reset();
  UseHeaders(reader, rc);

  tsSiteParamMapController map;
  const int32_t readRc = reader.Read(map, 0, nullptr);
  UseHeaders(reader, readRc);
  rc = reader.CheckFile(true);
  UseHeaders(reader, rc);
  rc = reader.Close();
  UseHeaders(reader, rc);

  // Both lock models: the last input byte picks one.
  map.Swap(size > 0 ? data[size - 1] & 1 : 0);
  if (readRc == tsSiteMapReader::kOk && map.ActiveCheckSum() != reader.Digest())
    __builtin_trap();  // a completed read leaves its digest on the map
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const std::string& id : {FirstKyrId(reader, text), std::string("kyr000001")}) {
    tsSiteParams site;
    if (map.Lookup(id, site) && (!site.found || (site.decouple && site.realTimeIds.empty())))
      __builtin_trap();  // a found site is marked so; decouple needs somewhere to go
  }
  return 0;
}

#include "tests/support/filtertest.h"

#include <algorithm>

#include "hit/lfmrequest.h"
#include "tests/support/temproot.h"
#include "util/lfmmac.h"

std::string FilterConfig(const std::string& logserver, const std::string& more) {
  static const char* const kMap[][3] = {
      {"KYR_URI", "kyruri", "true"},        {"KYR_QUERY", "kyrqry", "false"},
      {"KYR_REFERRER", "kyrref", "false"},  {"KYR_METHOD", "kyrmet", "false"},
      {"KYR_AUTHUSER", "kyraut", "false"},  {"KYR_STATUS", "kyrsta", "false"},
      {"KYR_SERVERIP", "kyrsip", "false"},  {"KYR_PROTOCOL", "kyrpro", "false"},
      {"KYR_BYTES", "kyrbyt", "false"},     {"KYR_DATE", "kyrdat", "false"},
      {"KYR_CLIENTIP", "kyrcip", "false"},  {"KYR_P3P", "kyrp3p", "false"},
      {"KYR_CFG", "kyrcfg", "false"},       {"KYR_REDIRECT", "kyrredirect", "false"},
      {"KYR_REPLAYDATE", "kyrrdt", "false"}};
  std::string text = "[logserver]\nlogelementcount = 15\n" + logserver + "\n";
  int i = 0;
  for (const auto& e : kMap)
    text += "[logelementmap" + std::to_string(i++) + "]\nlogelement = " + e[0] +
            "\nparameter = " + e[1] + "\nrequired = " + e[2] + "\n";
  return text + more;
}

std::string CurrentKyrId(const std::string& body) {
  std::string id = "kyr" + body;
  return id + "_" + lfmRequest::CheckCode(id.c_str(), 25, 'z');
}

std::string ReadAll(const std::string& dir) {
  std::string all;
  for (const std::string& name : ListDir(dir))
    all += ReadFileText(dir + "/" + name);
  return all;
}

std::vector<std::string> DataLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos)
      end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line[0] != '#')
      lines.push_back(line);
    at = end + 2;
  }
  return lines;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> f;
  size_t at = 0;
  for (size_t end; (end = line.find(' ', at)) != std::string::npos; at = end + 1)
    f.push_back(line.substr(at, end - at));
  f.push_back(line.substr(at));
  return f;
}

std::vector<std::filesystem::path> FilesUnder(const std::filesystem::path& dir) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file())
      files.push_back(it->path());
  std::sort(files.begin(), files.end());
  return files;
}

std::string SiteMapFile(const std::string& application, const std::vector<std::string>& lines) {
  lfmMAC digest;
  for (const std::string& line : lines)
    digest.Update(line);
  std::string text = "#Application: " + application +
                     "\r\n#Fields: kyrid,tagid,schedulepriority,realtimeid,cookiesenabled,"
                     "timezone\r\n#LineCount: " +
                     std::to_string(lines.size()) + "\r\n#CheckSum: " + digest.HexDigest() + "\r\n";
  for (const std::string& line : lines)
    text += line + "\r\n";
  return text;
}

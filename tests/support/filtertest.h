#pragma once
// Configuration and log reading shared by the tests that drive the filter.

#include <filesystem>
#include <string>
#include <vector>

// A configuration with the shipped log element map (kyruri required ...
// kyrrdt), `logserver` lines added to its [logserver] section and `more`
// sections after it.
std::string FilterConfig(const std::string& logserver = "", const std::string& more = "");

// A current-format KYR ID ("kyr" + 22 characters + "_" + check code);
// `body` must be 22 alphanumeric characters.
std::string CurrentKyrId(const std::string& body = "0123456789abcdefghijkl");

// Every file of `dir`, concatenated in name order.
std::string ReadAll(const std::string& dir);
// The lines of `text` that are not header lines, without "\r\n".
std::vector<std::string> DataLines(const std::string& text);

// The fields of a data line.
std::vector<std::string> Fields(const std::string& line);

// The regular files under `dir`, recursively, in path order (none when it
// cannot be read).
std::vector<std::filesystem::path> FilesUnder(const std::filesystem::path& dir);

// A site map file of `lines` (kyrid,tagid,schedulepriority,realtimeid,
// cookiesenabled,timezone), with the line count and checksum the loader
// checks.
std::string SiteMapFile(const std::string& application, const std::vector<std::string>& lines);

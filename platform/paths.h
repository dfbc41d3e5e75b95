#pragma once
// Path operations on plain strings: nothing here touches the file system but pathExists.

#include <string>

// Something exists at path; a final symbolic link is followed, so a dangling one does not count.
bool pathExists(const std::string &path);

// path without its last component and the slash before it; a trailing slash is ignored.
// "/a/b" -> "/a", "/a/b/" -> "/a", "/a" -> "/", "/" -> "/", "a/b" -> "a", "a" -> "", "" -> "".
std::string parentPath(const std::string &path);

// base and component joined with exactly one "/". An empty side gives the other one as it is;
// a trailing slash of the result is dropped (except for "/" itself).
std::string joinPath(const std::string &base, const std::string &component);

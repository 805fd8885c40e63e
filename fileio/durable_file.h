// Files replaced so that a crash, a power loss or a full disk at any moment
// leaves either the old file or the new one whole, never a mix: a temporary
// beside the file, fsync, rename, then fsync of the folder. Plain POSIX,
// used on the caller's thread; errors come back as error numbers so that the
// caller words them.
#pragma once

#include <string>
#include <vector>

// The folder of `path`: "." for a bare name, "/" for a name in the root.
std::string ozpFolderOf(const std::string &path);

// Writes all of `bytes` to `fd`, again after EINTR. False with errno set
// when they could not all be written.
bool ozpWriteAll(int fd, const std::string &bytes);

// Syncs the folder of `file`, so that a new name in it is on disk too. The
// error number, or 0; a file system that cannot sync a folder counts as 0.
int ozpSyncFolder(const std::string &file);

// The file that `path` names, symbolic links followed, into `file`: a
// replacement then goes to the file a link points to and keeps the link.
// The file need not exist. The error number, or 0.
int ozpFollowLinks(const std::string &path, std::string &file);

// Makes `folder` and the folders above it that do not exist, readable by
// their owner only; `made` tells whether anything was made. A folder that
// exists, or a path that cannot name one for another reason than a missing
// part, is left to the caller's own use of it. The error number, or 0.
int ozpMakeFolders(const std::string &folder, bool &made);

// Removes the temporaries that replacements of `file` cut short (crash,
// power loss) left beside it.
void ozpRemoveStaleTemporaries(const std::string &file);

// Replaces `file` with the concatenation of `pieces` so that a failure at
// any point leaves the previous file whole. A new file is readable by its
// owner only. The error number, or 0.
int ozpReplaceFile(const std::string &file, const std::vector<std::string> &pieces);

// Keeps `text` in the first free one of "<file>.bad", "<file>.bad.1", ...,
// named in `copy`: a copy kept earlier is never overwritten. False with
// errno set when no whole copy was made.
bool ozpKeepCopy(const std::string &file, const std::string &text, std::string &copy);

// The copy while it is being written: a temporary file beside the destination, renamed over it
// once complete; and what earlier runs left of theirs there.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "platform/win32_file_names.h"
#include "platform/win32_holders.h"

namespace kelmina::win32 {

// The request that renames the copy over the destination, made before the copy exists.
class RenameRequest {
public:
    explicit RenameRequest(const std::wstring& target);

    void* data() { return storage_.data(); }
    DWORD size() const { return static_cast<DWORD>(storage_.size()); }

private:
    std::vector<std::byte> storage_;
};

// The copy while it is being written: a new file beside the destination, marked for deletion right
// after it is created, so that it goes however the run ends (a kill included) unless the rename
// has made it the destination; a kill in the instant before the mark leaves it to the next run.
// Its failures name the destination, the file the user knows of, not the temporary name.
class TemporaryFile {
public:
    TemporaryFile(const std::wstring& path, const CopyPath& destination);
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Asks the file system for the whole size at once, as copy engines do, so that a full disk
    // shows before the first byte is written. Only a full disk counts: file systems that cannot
    // reserve (Wine's refuses the request) leave it to the writes to find out.
    void reserve(const LARGE_INTEGER& size);

    // Writes the whole block. A write may take only part of it (Wine's does on a disk that fills
    // up), and the rest goes again; on a full disk that next write fails with the disk's own error.
    void write(const char* data, DWORD size);

    void finish(DWORD attributes, const FILETIME& last_write_time);

    // Gives the copy the destination's name, through this handle, so that no moment comes when
    // the copy is neither marked nor open. The mark comes off first: it would go with the file
    // and delete the new add-in when the handle closes. Should the rename be refused, the mark
    // goes back on, and the refusal's error comes back, for the caller to try again; a mark that
    // does not come off, or cannot be put back, is a failure that ends the copy.
    DWORD try_rename_over(RenameRequest& request);

    // What MOVEFILE_WRITE_THROUGH does after its rename: the rename reaches the disk before the
    // user hears of it.
    void flush_renamed() { flush(); }

private:
    void flush();

    const CopyPath& destination_;
    UniqueHandle handle_;
};

// A name beside the destination that no user file has and no other run can pick.
std::wstring temporary_name_for(const std::wstring& destination);

// A run cut off by a power cut, or killed in the instant between the mark's removal and the
// rename, leaves its copy beside the destination. The next run removes those: only names of the
// copy's own form, checked on the long name, since a wildcard search also matches 8.3 names.
// What cannot be removed, or is not shown to be such a copy, stays; the install goes on all the
// same.
void remove_leftovers(const std::wstring& destination);

}  // namespace kelmina::win32

// The workbook that the copy reads, opened and checked: the file of its name beside the program,
// and no file that a link in its place leads to.
#pragma once

#include <windows.h>

#include "platform/win32_file_names.h"
#include "platform/win32_held_files.h"
#include "platform/win32_holders.h"

namespace kelmina::win32 {

// The workbook as the copy reads it, opened.
struct Workbook {
    UniqueHandle handle;
    // Its path as it lies there, which a failure to read it names: under a name from a Mac, that
    // name and not the one looked for.
    CopyPath path;
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
};

// The workbook lies in a folder that the user, and every program the user runs, may write: a
// download or extraction folder. This program reads it with administrator rights and puts it where
// every user of the machine may read it, so a link in its place would hand out any file that an
// administrator can read, under the add-in's name. Only the file itself is held to that: links
// among the folders on the way (a junction, a subst drive, a share, a redirected Downloads folder)
// lead to the folder and to the file in it alike, and stay allowed.
//
// Where no file has the exact name, a file whose name is the same text in another Unicode form
// (a name written on a Mac) is the workbook, held to the same checks. A workbook that another
// program holds is waited for, within `allowance`.
Workbook open_workbook(const CopyPath& source, CopyHoldAllowance& allowance);

}  // namespace kelmina::win32

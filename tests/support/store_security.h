#pragma once

#include <string>

// What the security of a folder or file that the store made reads back as.
enum class store_security {
    shared,   // made with the store's shared security: every authenticated user has full access
    other,    // made with some other security (its parent's, say)
    unknown,  // the platform cannot tell the two apart here
};

// Windows keeps the security descriptor given at creation: the DACL then holds the entry that
// gives authenticated users full access. Wine 8 keeps none on files and folders: it turns the
// DACL given at creation into Unix mode bits and reads a DACL back from those. There `path` is
// compared with two objects of its kind made beside it for the purpose, one with the store's
// shared security and one with the default: it is `shared` when it reads back as the first,
// and `unknown` when those two read back alike.
store_security read_store_security(const std::wstring& path);

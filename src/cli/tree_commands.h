// quibrix rename and quibrix merge: the edits of the tag tree that the Manage Tags dialog makes,
// from a command line, with the dialog's refusals as messages and exit codes.
#pragma once

#include "database/tags_holder.h"

#include <functional>
#include <string>
#include <vector>

namespace tree_commands {

// Where the commands write what went wrong (standard error).
typedef std::function<void(const std::wstring& text)> error_writer;

// The text of `quibrix COMMAND --help` for these commands; null for any other.
const wchar_t* help(const std::wstring& command);

// quibrix rename OLD NEW and quibrix merge FROM INTO, over the loaded store; the tool's exit
// status.
int rename(items::TagsHolder& db, const std::vector<std::wstring>& operands, const error_writer& error);
int merge(items::TagsHolder& db, const std::vector<std::wstring>& operands, const error_writer& error);

}  // namespace tree_commands

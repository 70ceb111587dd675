// quibrix export and import: the tags of files as a JSON document, to carry them to another
// store or machine, or to keep them beside a backup. The document:
//   {"format": "quibrix-tags", "version": 1, "files": [{"path": "C:\\...", "tags": ["Root/Scope/Tag"]}]}
#pragma once

#include "database/tags_holder.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace transfer {

// The options of the two commands (--output, --map, --dry-run), as the command line gave them,
// each with its value (empty for --dry-run). is_option: `arg` is one of them, after `command`.
typedef std::vector<std::pair<std::wstring, std::wstring> > options;
bool is_option(const std::wstring& command, const std::wstring& arg);
bool takes_value(const std::wstring& arg);

// The help of "export" or "import"; null for another command.
const wchar_t* help(const std::wstring& command);

// Each answers the exit status: 0 done, 1 nothing matched (or nothing to import), 2 error.
int export_tags(items::TagsHolder& db, const std::vector<std::wstring>& operands, const options& given);
// The import reads and checks the whole document first, and only then calls `open_store` (which
// tells its own failure) to load the store and apply it.
int import_tags(items::TagsHolder& db, const std::vector<std::wstring>& operands, const options& given,
                const std::function<bool()>& open_store);

}  // namespace transfer

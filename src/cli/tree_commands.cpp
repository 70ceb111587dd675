#include "cli/tree_commands.h"

#include "database/tag_query.h"

namespace tree_commands {

namespace {

// The tool's exit status, as its usage text states it.
const int exit_ok = 0;
const int exit_nothing = 1;
const int exit_error = 2;

const wchar_t unsafe_name[] =
    L"it must be a valid file name (no \\ / : * ? \" < > |, not \".\" or \"..\", not a device name such as CON "
    L"or NUL)";

std::wstring joined(const std::vector<std::wstring>& names) {
    std::wstring text;
    for (const std::wstring& name : names) text += (text.empty() ? L"" : L"/") + name;
    return text;
}

int wrong_use(const std::wstring& what, const error_writer& error) {
    error(L"quibrix: " + what + L"\nRun 'quibrix --help' for usage.\n");
    return exit_error;
}

// What the refusal means for this edit, as the dialog would say it.
std::wstring reason(items::edit_refusal refusal, const std::wstring& node, const std::wstring& target,
                    const std::wstring& new_name) {
    switch (refusal) {
    case items::edit_refusal::missing_node: return L"there is no " + node;
    case items::edit_refusal::missing_target: return L"there is no " + target;
    case items::edit_refusal::name_taken: return L"this name is already used";
    case items::edit_refusal::name_unsafe: return L"'" + new_name + L"' cannot be a tag name: " + unsafe_name;
    case items::edit_refusal::into_tag: return target + L" is a tag, not a root tag or scope";
    case items::edit_refusal::into_itself: return L"a node cannot go into itself or below itself";
    case items::edit_refusal::wrong_place: return L"a tag cannot be a root tag";
    case items::edit_refusal::not_a_tag: return L"only tags merge, not root tags or scopes";
    case items::edit_refusal::not_read:
        return L"its root tag cannot be read whole now (another program may hold its files)";
    case items::edit_refusal::none: break;
    }
    return std::wstring();
}

int outcome(items::edit_refusal refusal, const std::wstring& what, const std::wstring& why,
            const error_writer& error) {
    if (refusal == items::edit_refusal::none) return exit_ok;
    error(L"quibrix: cannot " + what + L": " + why + L"\n");
    // A node that is not there matched nothing; everything else is an error.
    return refusal == items::edit_refusal::missing_node ? exit_nothing : exit_error;
}

}  // namespace

const wchar_t* help(const std::wstring& command) {
    if (command == L"rename") {
        return L"Usage: quibrix rename OLD NEW\n"
               L"Renames or moves the root tag, scope or tag OLD to NEW, each named by its path from\n"
               L"the root tag down (Work/Invoices/Paid). The parent of NEW must be there. A root tag\n"
               L"or scope may go into another root tag (it becomes a scope there) and a scope to the\n"
               L"top (it becomes a root tag); a tag stays below a root tag. Files keep their tags.\n"
               L"Exit status 1 when there is no OLD, 2 when the change is refused (a name already\n"
               L"used, a name that cannot be a file name, a node into itself or into a tag).\n";
    }
    if (command == L"merge") {
        return L"Usage: quibrix merge FROM INTO\n"
               L"Gives every file of the tag FROM the tag INTO, then removes FROM. Both are tags,\n"
               L"named by their paths from the root tag down, in one root tag or in two.\n"
               L"Exit status 1 when there is no FROM, 2 when the merge is refused.\n";
    }
    return nullptr;
}

int rename(items::TagsHolder& db, const std::vector<std::wstring>& operands, const error_writer& error) {
    if (operands.size() != 2) return wrong_use(L"rename takes OLD and NEW", error);
    items::tree_edit edit;
    edit.op = items::tree_edit::move;
    edit.node = items::split_tag_path(operands[0]);
    edit.target = items::split_tag_path(operands[1]);
    if (edit.node.empty() || edit.target.empty()) return wrong_use(L"rename needs two tag paths", error);
    // A move into NEW's parent under NEW's last name; where the parent stays, that is a rename.
    edit.new_name = edit.target.back();
    edit.target.pop_back();
    const items::edit_refusal refusal = db.apply_tree_edit(edit);
    return outcome(refusal, L"rename " + operands[0] + L" to " + operands[1],
                   reason(refusal, operands[0], joined(edit.target), edit.new_name), error);
}

int merge(items::TagsHolder& db, const std::vector<std::wstring>& operands, const error_writer& error) {
    if (operands.size() != 2) return wrong_use(L"merge takes FROM and INTO", error);
    items::tree_edit edit;
    edit.op = items::tree_edit::merge;
    edit.node = items::split_tag_path(operands[0]);
    edit.target = items::split_tag_path(operands[1]);
    if (edit.node.empty() || edit.target.empty()) return wrong_use(L"merge needs two tag paths", error);
    const items::edit_refusal refusal = db.apply_tree_edit(edit);
    return outcome(refusal, L"merge " + operands[0] + L" into " + operands[1],
                   reason(refusal, operands[0], operands[1], std::wstring()), error);
}

}  // namespace tree_commands

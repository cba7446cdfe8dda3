#include "core/htb/htb_page_commands.h"

#include <optional>
#include <utility>

#include "core/htb/htb_rules.h"

namespace harlune {

HtbPageCommands::HtbPageCommands(HTB_Manager& manager, UserDialogs& dialogs,
                                 FilterRateRestorer& restorer, FilterLookup filters,
                                 std::function<void()> changed)
    : manager_(manager),
      dialogs_(dialogs),
      restorer_(restorer),
      filters_(std::move(filters)),
      changed_(std::move(changed)) {}

bool HtbPageCommands::Allowed(const std::optional<std::string_view>& refusal) {
  if (refusal.has_value()) {
    dialogs_.ShowMessage(*refusal);
    return false;
  }
  return true;
}

bool HtbPageCommands::MayCreateUnder(std::int32_t parentId) {
  return Allowed(CheckNewClass(manager_, parentId));
}

std::shared_ptr<HTB_Class> HtbPageCommands::AddNew(std::int32_t parentId,
                                                   const HTB_Class& filledTemplate) {
  if (!MayCreateUnder(parentId)) {
    return nullptr;
  }
  auto added = manager_.AddCopy(filledTemplate, parentId, filters_);
  if (added != nullptr) {
    changed_();
  }
  return added;
}

void HtbPageCommands::Edited() {
  manager_.LinkFilters(filters_);
  changed_();
}

bool HtbPageCommands::Delete(std::int32_t id) {
  if (!Allowed(CheckRemove(manager_, id))) {
    return false;
  }
  if (const auto question = RemoveQuestion(manager_, id);
      question.has_value() && dialogs_.Ask(*question, kHtbQuestionCaption,
                                           QuestionButtons::kOkCancel) != QuestionAnswer::kOk) {
    return false;
  }
  if (!manager_.Remove(id, restorer_)) {
    return false;
  }
  changed_();
  return true;
}

std::shared_ptr<HTB_Class> HtbPageCommands::Duplicate(std::int32_t id) {
  if (!Allowed(CheckDuplicate(manager_, id))) {
    return nullptr;
  }
  auto copy = manager_.Duplicate(id);
  if (copy != nullptr) {
    changed_();
  }
  return copy;
}

bool HtbPageCommands::ToggleAvailable(std::int32_t id) {
  const auto cls = manager_.Find(id);
  if (cls == nullptr) {
    return false;
  }
  cls->Available = !cls->Available;
  changed_();
  return true;
}

bool HtbPageCommands::Move(std::int32_t id, std::int32_t newParentId) {
  if (!Allowed(CheckMove(manager_, id, newParentId)) || !manager_.Move(id, newParentId)) {
    return false;
  }
  changed_();
  return true;
}

}  // namespace harlune

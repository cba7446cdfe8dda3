#include "core/htb/htb_tree.h"

#include <utility>

namespace harlune {

HTB_Tree::HTB_Tree() : root_(std::make_shared<HTB_InnerClass>()) {}

std::shared_ptr<HTB_Class> HTB_Tree::Find(std::int32_t id) const {
  if (root_->ID == id) {
    return root_;
  }
  return root_->Find(id);
}

bool HTB_Tree::Add(std::int32_t parentId, std::shared_ptr<HTB_Class> child) {
  return root_->AddUnder(parentId, std::move(child));
}

}  // namespace harlune

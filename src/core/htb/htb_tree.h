#pragma once

// One HTB tree: a root inner class and the classes below it.

#include <cstdint>
#include <memory>

#include "core/htb/htb_class.h"

namespace harlune {

class HTB_Tree {
 public:
  // A tree whose root is a new inner class with the default settings.
  HTB_Tree();
  HTB_Tree(const HTB_Tree&) = delete;
  HTB_Tree& operator=(const HTB_Tree&) = delete;

  const std::shared_ptr<HTB_InnerClass>& Root() const { return root_; }

  // The root when it has that ID, else the first descendant with it.
  std::shared_ptr<HTB_Class> Find(std::int32_t id) const;

  // Appends the class under the first class with parentId that takes
  // children. Returns whether it was placed.
  bool Add(std::int32_t parentId, std::shared_ptr<HTB_Class> child);

 private:
  std::shared_ptr<HTB_InnerClass> root_;
};

}  // namespace harlune

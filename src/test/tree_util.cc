#include "test/tree_util.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test/test_util.h"

namespace testing_util {

namespace {

void ReadTreeInto(const std::string& dir, const std::string& prefix,
                  Tree* tree) {
  DIR* stream = opendir(dir.c_str());
  if (!stream) return;
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(stream)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(stream);
  for (const std::string& name : names) {
    std::string path = dir + "/" + name;
    std::string key = prefix + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      (*tree)[key] = "unreadable";
    } else if (S_ISDIR(st.st_mode)) {
      (*tree)[key] = "dir";
      ReadTreeInto(path, key + "/", tree);
    } else if (S_ISREG(st.st_mode)) {
      (*tree)[key] = "file:" + ReadFile(path);
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t length = readlink(path.c_str(), target, sizeof(target));
      (*tree)[key] = "link:" + std::string(target, length > 0 ? length : 0);
    } else {
      (*tree)[key] = "special";
    }
  }
}

std::string Describe(const Tree& tree, const std::string& key) {
  auto it = tree.find(key);
  if (it == tree.end()) return "absent";
  if (it->second.compare(0, 5, "file:") == 0) {
    return "file of " + std::to_string(it->second.size() - 5) + " bytes";
  }
  return it->second;
}

}  // namespace

Tree ReadTree(const std::string& dir) {
  Tree tree;
  ReadTreeInto(dir, "", &tree);
  return tree;
}

testing::AssertionResult SameTree(const Tree& expected, const Tree& actual) {
  if (expected == actual) return testing::AssertionSuccess();
  Tree all = expected;
  all.insert(actual.begin(), actual.end());
  testing::AssertionResult failure = testing::AssertionFailure();
  int shown = 0;
  for (const auto& entry : all) {
    const std::string& key = entry.first;
    auto a = expected.find(key), b = actual.find(key);
    if (a != expected.end() && b != actual.end() && a->second == b->second) {
      continue;
    }
    if (++shown > 10) break;
    failure << "\n  " << key << ": expected " << Describe(expected, key)
            << ", got " << Describe(actual, key);
  }
  return failure;
}

Tree WithFiles(Tree tree, const FileList& files) {
  for (const auto& [path, contents] : files) {
    if (path[0] == '.') continue;
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      tree[path.substr(0, slash)] = "dir";
    }
    tree[path] = "file:" + contents;
  }
  return tree;
}

}  // namespace testing_util

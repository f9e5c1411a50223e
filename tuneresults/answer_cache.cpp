#include "tuneresults/answer_cache.h"

#include "results/connection.h"

#include <sys/stat.h>

namespace {

std::string FileState(const std::string &path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return "-";
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":" + std::to_string(status.st_size) +
           ":" + std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
}

} // namespace

std::string StoreState(const std::string &store)
{
    if (results_store::IsPostgresUrl(store))
        return "";
    std::string file = FileState(store);
    if (file == "-")
        return "";
    // A commit in write-ahead-log mode changes the log, a checkpoint the file.
    return file + "/" + FileState(store + "-wal");
}

bool AnswerCache::Find(const std::string &key, const std::string &state, ViewAnswer &answer)
{
    if (state.empty())
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = entries_.find(key);
    if (found == entries_.end() || found->second.state != state ||
        std::chrono::steady_clock::now() - found->second.made > kMaxAge)
        return false;
    answer = found->second.answer;
    return true;
}

void AnswerCache::Keep(const std::string &key, const std::string &state, const ViewAnswer &answer)
{
    if (state.empty() || answer.status != 200)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (entries_.size() >= kMaxEntries && entries_.find(key) == entries_.end())
        entries_.clear();
    entries_[key] = Entry{state, answer, std::chrono::steady_clock::now()};
}

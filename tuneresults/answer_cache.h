// Answers of the dashboard's views kept while the store is unchanged: the
// screens of a line ask for the same views every few seconds, and a view
// over a large store costs far more than telling that nothing changed.
#ifndef TUNERESULTS_ANSWER_CACHE_H
#define TUNERESULTS_ANSWER_CACHE_H

#include "tuneresults/dashboard.h"

#include <chrono>
#include <map>
#include <mutex>
#include <string>

// What changes whenever a run is written to an SQLite store (its file's and
// its write-ahead log's identity, size and modification time); empty for a
// store that cannot be told so (PostgreSQL, or a file that is not there).
std::string StoreState(const std::string &store);

class AnswerCache {
public:
    // The answer kept for key while the store was in state; false when
    // there is none, it is older than kMaxAge or the state is empty.
    bool Find(const std::string &key, const std::string &state, ViewAnswer &answer);
    // Keeps a successful answer (status 200) made in state.
    void Keep(const std::string &key, const std::string &state, const ViewAnswer &answer);

private:
    static constexpr std::chrono::seconds kMaxAge{60};
    static constexpr std::size_t kMaxEntries = 256;
    struct Entry {
        std::string state;
        ViewAnswer answer;
        std::chrono::steady_clock::time_point made;
    };
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

#endif

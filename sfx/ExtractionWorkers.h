#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

class CZipExtraction;

// Threads that decode placed entries (CZipExtraction) from one archive file, each with a decoder of
// its own, in the order they are handed over. Whoever hands a task over waits for it by itself;
// nothing else is shared.
class CExtractionWorkers {
  public:
    struct Task {
        CZipExtraction* job = nullptr;
        bool decoded = false; // guarded by the workers' lock
    };

    // The most threads the program starts, whatever the machine has.
    static constexpr unsigned maxThreads = 8;

    CExtractionWorkers(int archiveHandle, unsigned threads);
    CExtractionWorkers(const CExtractionWorkers&) = delete;
    CExtractionWorkers& operator=(const CExtractionWorkers&) = delete;
    // Decodes what was handed over, then ends the threads.
    ~CExtractionWorkers();

    // The threads that could be started.
    std::size_t Count() const { return threads.size(); }
    // The task must stay where it is until Wait has returned for it.
    void Submit(Task& task);
    bool IsDecoded(const Task& task);
    void Wait(const Task& task);

  private:
    void Work();

    int archive;
    std::mutex lock;
    std::condition_variable wake;    // a task came, or the end
    std::condition_variable decoded; // a task is done
    std::deque<Task*> queue;
    bool ending = false;
    std::vector<std::thread> threads;
};

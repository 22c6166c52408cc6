#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

class CZipExtraction;

// Threads that decode placed entries (CZipExtraction) from one archive file, each with a decoder of
// its own. Entries go over in tasks of one or more, in the order handed over; whoever hands a task
// over waits for it by itself. Nothing else is shared.
class CExtractionWorkers {
  public:
    struct Task {
        std::vector<CZipExtraction*> jobs;
        // Set by the thread that decoded the jobs, once it is done with them.
        std::atomic<bool> decoded{false};
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
    static bool IsDecoded(const Task& task) { return task.decoded.load(); }
    // Waits for the task, at most for `most`; true when it is decoded.
    bool Wait(const Task& task, std::chrono::milliseconds most);

  private:
    void Work();

    int archive;
    std::mutex lock;
    std::condition_variable wake;    // a task came, or the end
    std::condition_variable decoded; // a task is done and someone waits
    std::deque<Task*> queue;
    unsigned sleeping = 0;            // threads waiting for tasks
    std::atomic<bool> waiting{false}; // someone waits for a task to be decoded
    bool ending = false;
    std::vector<std::thread> threads;
};

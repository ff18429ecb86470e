#pragma once

namespace bench {

// Heap allocations made by this thread while counting: the benchmark binary replaces the
// global operator new to count them.
class AllocationCounter {
 public:
  static void start();
  // The allocations since start(); counting stops.
  static long stop();
  // Allocations in the scope of one are not counted (the collaborators' own).
  class Paused {
   public:
    Paused();
    ~Paused();
    Paused(const Paused&) = delete;
    Paused& operator=(const Paused&) = delete;

   private:
    bool was_counting_;
  };
};

}  // namespace bench

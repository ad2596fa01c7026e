#pragma once
// Raising the calling thread's scheduling for audio output: real-time (SCHED_FIFO) when the
// system grants it, else the highest priority the user may set. Once real-time scheduling
// has been refused it is not asked for again in this process.

enum class kyThreadPriority {
    Realtime, // SCHED_FIFO
    Raised,   // a lower nice value than before
    Unchanged,
};

kyThreadPriority kyRaiseAudioThreadPriority();

// Forgets an earlier refusal (tests).
void kyResetAudioThreadPriorityRefusal();

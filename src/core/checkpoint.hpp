// Checkpoints of long computations: where a host may stop them.
//
// A build over a deep ontology can take seconds. Its loops call reached() every so often (per
// component, per term); a host that wants to be able to stop the work (Ctrl-C in an interpreter)
// supplies a Checkpoint whose reached() throws, and the exception leaves the computation like any
// other, releasing what it holds. reached() must be cheap when there is nothing to do: it is called
// thousands of times a second.
#pragma once

namespace ontarix {

class Checkpoint {
public:
    virtual void reached() = 0;

protected:
    ~Checkpoint() = default;
};

// Calls checkpoint->reached() when there is a checkpoint.
inline void reach(Checkpoint* checkpoint) {
    if (checkpoint != nullptr) checkpoint->reached();
}

}  // namespace ontarix

#pragma once
// An engine's events handed to lambdas, for tests that play the scale inline.
#include <functional>
#include <string>

#include "transfer/TransferEngine.h"

struct TEngineEvents : TTransferListener {
    std::function<void(const std::string& command)> OnSend;
    std::function<void(const TTransferOutcome& outcome)> OnFinished;

    void TransferSend(const std::string& command) override {
        if (OnSend) OnSend(command);
    }
    void TransferFinished(const TTransferOutcome& outcome) override {
        if (OnFinished) OnFinished(outcome);
    }
};

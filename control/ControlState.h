// Reception control: the request hand-over to the control thread and the
// state of the TMC station search. Other threads write a request code into
// controlRequest (after requestedFrequency, for the tune codes); the control
// thread takes it within one 10 ms step. Every field crosses threads and is a
// Shared value.
#pragma once

#include "platform/ce/Shared.h"
#include <cstdint>

// Codes of controlRequest.
constexpr std::uint8_t kRequestNone = 0;
constexpr std::uint8_t kRequestTune = 1;
constexpr std::uint8_t kRequestSearchUp = 2;
constexpr std::uint8_t kRequestSearchDown = 3;
constexpr std::uint8_t kRequestSearchOn = 4;
constexpr std::uint8_t kRequestTuneThenSearch = 5;
constexpr std::uint8_t kRequestShutdown = 99;
constexpr std::uint8_t kRequestRecover = 100;
constexpr std::uint8_t kRequestPoweredDown = 200;

// Values of searchState.
constexpr std::uint8_t kSearchIdle = 0;
constexpr std::uint8_t kSearchingUp = 1;
constexpr std::uint8_t kSearchingDown = 2;

struct ControlState {
    Shared<std::uint8_t> controlRequest{kRequestNone};
    Shared<std::uint16_t> requestedFrequency{0};  // 10 kHz units, for codes 1 and 5
    Shared<std::uint16_t> recoveryFrequency{0};   // 10 kHz units: tuned back to after a recovery
    Shared<std::uint8_t> searchState{kSearchIdle};
    Shared<std::uint8_t> searchUp{0};        // direction of the next search: 1 up, 0 down
    Shared<std::uint8_t> autoSearch{0};      // 1: the loop may start searches by itself
    Shared<std::uint8_t> stopSearch{0};      // set by commands: the running search ends
    Shared<std::uint8_t> skipStation{0};     // set by commands: the search leaves this station
    Shared<std::uint8_t> recoveryNeeded{0};  // the RDS interrupt thread asks for a tuner recovery
    Shared<std::uint8_t> powerUpOwed{0};     // the system's power-up handler left its thread work here
    Shared<std::uint8_t> retuning{0};        // a recovery tunes the reset chip back to recoveryFrequency
    Shared<std::uint8_t> stepCounter{0};     // divides the seek's display steps by 4; never reset
};

#pragma once
// Socket activation: the host hands the service its socket on descriptor 3.

#include <string>

struct ActivationResult {
    int fd = -1;
    bool listening = false;
    std::string problem; // set when the service was not started by activation
};

// The lowest descriptor past those a starter may pass (3 + LISTEN_FDS): what the service opens
// before it has taken its socket must not land where the socket is looked for.
int firstDescriptorAboveActivation();

// Checks LISTEN_FDS/LISTEN_PID against our own pid and descriptor 3, then clears the variables.
ActivationResult takeActivationSocket();

// Accepts the next connection from a peer of our own user id (others are refused, unseen).
// Returns -1 when the listening socket itself has failed.
int acceptConnection(int listeningFd);

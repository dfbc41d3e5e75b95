#pragma once

// Reads and discards a pipe nothing else reads, so its writer never blocks on it.
void startDiscardingPipe(int fd);

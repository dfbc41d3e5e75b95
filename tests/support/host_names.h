#pragma once
// The host library's names as the tests and the benchmarks use them, unqualified.

#include "host/service_client.h"
#include "platform/message_codec.h"

using local_debugger::Connection;
using local_debugger::DataMessageHeader;
using local_debugger::encodeDataMessageHeader;
using local_debugger::encodeEnvironmentPayload;
using local_debugger::encodeMessage;
using local_debugger::maxMessageSize;
using local_debugger::Message;
using local_debugger::MessageBytes;
using local_debugger::MessageDecoder;
using local_debugger::MessageDictionary;
using local_debugger::MessageKind;
using local_debugger::MessageValue;
using local_debugger::ServiceClient;
using local_debugger::ServiceStartOptions;
using local_debugger::StartedService;
using local_debugger::startService;

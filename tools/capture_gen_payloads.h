// Ordinary messages of the protocols the detectors watch, for benign traffic
// and as the starting point of the families' attacks.
#pragma once

#include <string>
#include <vector>

#include "tools/capture_gen.h"

namespace capgen {

ByteVector DnsName(const std::string& name);
ByteVector DnsQuery(uint16_t id, const std::string& name, uint16_t type = 1);
ByteVector DnsAnswerA(uint16_t id, const std::string& name, const char* address);
// A DNS message behind its two-byte TCP length.
ByteVector TcpFramed(const ByteVector& message);
ByteVector TlsClientHello();
// A heartbeat request whose declared length is what it carries.
ByteVector TlsHeartbeat();
ByteVector SshKexInit();
// A key-exchange init with the given cookie's first byte (counting up) and
// its ten name-lists, in order.
ByteVector SshKexInit(uint8_t cookieBase, const std::vector<std::string>& nameLists);
// DCE/RPC bind to the endpoint mapper.
ByteVector RpcBind();
ByteVector RpcRequest(uint16_t opnum, size_t stubLength);
ByteVector RdpConnectionRequest();
ByteVector PptpStartControlRequest();
std::string HttpRequest(const std::string& start, const std::string& host,
                        const std::vector<std::string>& headers, const std::string& body = "");

}  // namespace capgen

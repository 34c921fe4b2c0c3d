// Event texts for the RPC exception codes a broker call can end with. Codes not listed read
// "default".
#include "tokengate/gate/rpc_status_message.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace tokengate::gate {

namespace {
struct Row {
  std::uint32_t code;
  std::u16string_view text;
};

constexpr std::array<Row, 107> kRows = {{
    {0, u"The requested operation completed successfully."},          // RPC_S_OK
    {5, u"Access for making the remote procedure call was denied."},  // RPC_S_ACCESS_DENIED
    {6,
     u"The context handle does not match any known context handles."},  // RPC_X_SS_CONTEXT_MISMATCH
    {14, u"The needed memory is not available."},                       // RPC_S_OUT_OF_MEMORY
    {87, u"The specified argument is not valid."},                      // RPC_S_INVALID_ARG
    {122, u"The buffer given to RPC by the caller is too small."},      // RPC_S_BUFFER_TOO_SMALL
    {164,
     u"The RPC run-time library was not able to create another thread."},  // RPC_S_OUT_OF_THREADS
    {997,
     u"The asynchronous remote procedure call has not yet completed."},  // RPC_S_ASYNC_CALL_PENDING
    {1130,
     u"The server has insufficient memory to complete this operation."},  // RPC_S_SERVER_OUT_OF_MEMORY
    {1332, u"The principal name is not recognized."},                     // RPC_S_UNKNOWN_PRINCIPAL
    {1338, u"The security descriptor is not in the valid format."},  // RPC_S_INVALID_SECURITY_DESC
    {1700, u"The string binding is invalid."},                       // RPC_S_INVALID_STRING_BINDING
    {1701, u"The binding handle is not the correct type."},          // RPC_S_WRONG_KIND_OF_BINDING
    {1702, u"The binding handle is invalid."},                       // RPC_S_INVALID_BINDING
    {1703, u"The RPC protocol sequence is not supported."},          // RPC_S_PROTSEQ_NOT_SUPPORTED
    {1704, u"The RPC protocol sequence is invalid."},                // RPC_S_INVALID_RPC_PROTSEQ
    {1705, u"The string UUID is invalid."},                          // RPC_S_INVALID_STRING_UUID
    {1706, u"The endpoint format is invalid."},               // RPC_S_INVALID_ENDPOINT_FORMAT
    {1707, u"The network address is invalid."},               // RPC_S_INVALID_NET_ADDR
    {1708, u"No endpoint has been found."},                   // RPC_S_NO_ENDPOINT_FOUND
    {1709, u"The time-out value is invalid."},                // RPC_S_INVALID_TIMEOUT
    {1710, u"The object UUID has not been found."},           // RPC_S_OBJECT_NOT_FOUND
    {1711, u"The object UUID has already been registered."},  // RPC_S_ALREADY_REGISTERED
    {1712, u"The type UUID has already been registered."},    // RPC_S_TYPE_ALREADY_REGISTERED
    {1713, u"The server is already listening."},              // RPC_S_ALREADY_LISTENING
    {1714, u"No protocol sequences have been registered."},   // RPC_S_NO_PROTSEQS_REGISTERED
    {1715, u"The server is not listening."},                  // RPC_S_NOT_LISTENING
    {1716, u"The manager type is unknown."},                  // RPC_S_UNKNOWN_MGR_TYPE
    {1717, u"The interface is unknown."},                     // RPC_S_UNKNOWN_IF
    {1718, u"There are no bindings."},                        // RPC_S_NO_BINDINGS
    {1719, u"There are no protocol sequences."},              // RPC_S_NO_PROTSEQS
    {1720, u"The endpoint cannot be created."},               // RPC_S_CANT_CREATE_ENDPOINT
    {1721,
     u"Not enough resources are available to complete this operation."},  // RPC_S_OUT_OF_RESOURCES
    {1722, u"The server is unavailable."},                          // RPC_S_SERVER_UNAVAILABLE
    {1723, u"The server is too busy to complete this operation."},  // RPC_S_SERVER_TOO_BUSY
    {1724, u"The network options are invalid."},                    // RPC_S_INVALID_NETWORK_OPTIONS
    {1725, u"There is no remote procedure call active in this thread."},  // RPC_S_NO_CALL_ACTIVE
    {1726,
     u"The remote procedure call failed. Implies the server was reachable at a certain point in "
     u"time, and execution of the remote procedure call on the server may have started."},  // RPC_S_CALL_FAILED
    {1727,
     u"The remote procedure call failed, and execution on the server did not start. Implies the "
     u"server was reachable at a certain point in time."},           // RPC_S_CALL_FAILED_DNE
    {1728, u"An RPC protocol error has occurred."},                  // RPC_S_PROTOCOL_ERROR
    {1730, u"The transfer syntax is not supported by the server."},  // RPC_S_UNSUPPORTED_TRANS_SYN
    {1732, u"The type UUID is not supported."},                      // RPC_S_UNSUPPORTED_TYPE
    {1733,
     u"The discriminant value does not match any of the case values. There is no default case."},  // RPC_S_INVALID_TAG
    {1734, u"The array bounds are invalid."},                // RPC_S_INVALID_BOUND
    {1735, u"The binding does not contain an entry name."},  // RPC_S_NO_ENTRY_NAME
    {1736, u"The name syntax is invalid."},                  // RPC_S_INVALID_NAME_SYNTAX
    {1737, u"The name syntax is not supported."},            // RPC_S_UNSUPPORTED_NAME_SYNTAX
    {1739, u"No network address is available for constructing a UUID."},  // RPC_S_UUID_NO_ADDRESS
    {1740, u"The endpoint is a duplicate."},                   // RPC_S_DUPLICATE_ENDPOINT
    {1741, u"The authentication type is unknown."},            // RPC_S_UNKNOWN_AUTHN_TYPE
    {1742, u"The maximum number of calls is too small."},      // RPC_S_MAX_CALLS_TOO_SMALL
    {1743, u"The string is too long."},                        // RPC_S_STRING_TOO_LONG
    {1744, u"The RPC protocol sequence has not been found."},  // RPC_S_PROTSEQ_NOT_FOUND
    {1745, u"The procedure number is out of range."},          // RPC_S_PROCNUM_OUT_OF_RANGE
    {1746,
     u"The binding does not contain any authentication information."},  // RPC_S_BINDING_HAS_NO_AUTH
    {1747, u"The authentication service is unknown."},  // RPC_S_UNKNOWN_AUTHN_SERVICE
    {1748, u"The authentication level is unknown."},    // RPC_S_UNKNOWN_AUTHN_LEVEL
    {1749,
     u"The specified authentication identity could not be used. For example an LRPC client stopped "
     u"functioning in the middle of an RPC and the server could not impersonate it. Or, "
     u"credentials for a client could not be acquired by the security provider."},  // RPC_S_INVALID_AUTH_IDENTITY
    {1750, u"The authorization service is unknown."},  // RPC_S_UNKNOWN_AUTHZ_SERVICE
    {1751, u"The specified endpoint mapper database entry is invalid."},  // EPT_S_INVALID_ENTRY
    {1752,
     u"General failure when trying to perform an operation on the endpoint mapper database."},  // EPT_S_CANT_PERFORM_OP
    {1753,
     u"There are no more endpoints available from the endpoint-map database."},  // EPT_S_NOT_REGISTERED
    {1754, u"There is nothing to export."},                // RPC_S_NOTHING_TO_EXPORT
    {1755, u"The entry name is incomplete."},              // RPC_S_INCOMPLETE_NAME
    {1756, u"The version option is invalid."},             // RPC_S_INVALID_VERS_OPTION
    {1757, u"There are no more members."},                 // RPC_S_NO_MORE_MEMBERS
    {1758, u"Not all objects are unexported."},            // RPC_S_NOT_ALL_OBJS_UNEXPORTED
    {1759, u"The interface has not been found."},          // RPC_S_INTERFACE_NOT_FOUND
    {1760, u"The entry already exists."},                  // RPC_S_ENTRY_ALREADY_EXISTS
    {1761, u"The entry is not found."},                    // RPC_S_ENTRY_NOT_FOUND
    {1762, u"The name service is unavailable."},           // RPC_S_NAME_SERVICE_UNAVAILABLE
    {1763, u"The network-address family is invalid."},     // RPC_S_INVALID_NAF_ID
    {1764, u"The requested operation is not supported."},  // RPC_S_CANNOT_SUPPORT
    {1765,
     u"No security context is available to allow impersonation."},  // RPC_S_NO_CONTEXT_AVAILABLE
    {1766, u"An internal error has occurred in a remote procedure call."},  // RPC_S_INTERNAL_ERROR
    {1767, u"The server has attempted an integer divide by zero."},         // RPC_S_ZERO_DIVIDE
    {1768, u"An addressing error has occurred on the server."},             // RPC_S_ADDRESS_ERROR
    {1769,
     u"A floating-point operation at the server has caused a divide by zero."},  // RPC_S_FP_DIV_ZERO
    {1770, u"A floating-point underflow has occurred at the server."},  // RPC_S_FP_UNDERFLOW
    {1771, u"A floating-point overflow has occurred at the server."},   // RPC_S_FP_OVERFLOW
    {1772,
     u"The list of servers available for the [auto_handle] binding has been exhausted."},  // RPC_X_NO_MORE_ENTRIES
    {1773,
     u"The file designated by DCERPCCHARTRANS cannot be opened."},  // RPC_X_SS_CHAR_TRANS_OPEN_FAIL
    {1774,
     u"The file containing the character-translation table has fewer than 512 bytes."},  // RPC_X_SS_CHAR_TRANS_SHORT_FILE
    {1775,
     u"A null context handle is passed in an in parameter position."},  // RPC_X_SS_IN_NULL_CONTEXT
    {1777,
     u"The context handle changed during a call. Only raised on the client side."},  // RPC_X_SS_CONTEXT_DAMAGED
    {1778,
     u"The binding handles passed to a remote procedure call do not match."},  // RPC_X_SS_HANDLES_MISMATCH
    {1779, u"The stub is unable to get the call handle."},  // RPC_X_SS_CANNOT_GET_CALL_HANDLE
    {1780, u"A null reference pointer has been passed to the stub."},  // RPC_X_NULL_REF_POINTER
    {1781, u"The enumeration value is out of range."},  // RPC_X_ENUM_VALUE_OUT_OF_RANGE
    {1783, u"The stub has received bad data."},         // RPC_X_BAD_STUB_DATA
    {1784,
     u"The pointer does not contain the address of a valid data buffer."},  // RPC_X_INVALID_BUFFER
    {1791, u"A remote procedure call is still in progress."},  // RPC_S_CALL_IN_PROGRESS
    {1806, u"There are no more bindings."},                    // RPC_S_NO_MORE_BINDINGS
    {1817, u"No interfaces are registered."},                  // RPC_S_NO_INTERFACES
    {1818,
     u"The remote procedure call was canceled, or if a call time out was specified, the call timed "
     u"out."},  // RPC_S_CALL_CANCELLED
    {1819,
     u"Not all required elements from the binding handle were supplied."},  // RPC_S_BINDING_INCOMPLETE
    {1820, u"Unable to communicate with the server."},                      // RPC_S_COMM_FAILURE
    {1821, u"The authentication level is not supported."},  // RPC_S_UNSUPPORTED_AUTHN_LEVEL
    {1822, u"No principal name is registered."},            // RPC_S_NO_PRINC_NAME
    {1823, u"The status code requested is not valid."},     // RPC_S_NOT_RPC_ERROR
    {1824,
     u"A UUID valid only for the local computer has been allocated."},  // RPC_S_UUID_LOCAL_ONLY
    {1825,
     u"An error that has no RPC mapping was returned by the security package. Retrieve the "
     u"security provider error using the RPC Extended Error Mechanism."},  // RPC_S_SEC_PKG_ERROR
    {1826, u"The thread is not canceled."},                                // RPC_S_NOT_CANCELLED
    {1831, u"The requested pipe operation is not supported."},
    {1898, u"The group member has not been found."},  // RPC_S_GROUP_MEMBER_NOT_FOUND
    {1899, u"An entry into the endpoint mapper database cannot be created."},  // EPT_S_CANT_CREATE
    {1900, u"The object is invalid."},  // RPC_S_INVALID_OBJECT
}};
}  // namespace

std::u16string_view RpcStatusMessage(std::uint32_t code) noexcept {
  const auto it = std::lower_bound(kRows.begin(), kRows.end(), code,
                                   [](const Row& r, std::uint32_t c) { return r.code < c; });
  if (it != kRows.end() && it->code == code) {
    return it->text;
  }
  return u"default";
}

std::size_t RpcStatusMessageCount() noexcept {
  return kRows.size();
}

}  // namespace tokengate::gate

// HRESULT, the component runtime's 32-bit result code: negative means failure.
// Codes made from a system error are 0x8007xxxx with the error in the low 16
// bits. Every code the runtime itself returns is defined here.
#pragma once

#include <cstdint>
#include <string>

typedef int32_t HRESULT;

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

#define COM_HRESULT(value) static_cast<HRESULT>(static_cast<uint32_t>(value))

#define S_OK COM_HRESULT(0x00000000u)
#define S_FALSE COM_HRESULT(0x00000001u)
#define E_NOTIMPL COM_HRESULT(0x80004001u)
#define E_NOINTERFACE COM_HRESULT(0x80004002u)
#define E_POINTER COM_HRESULT(0x80004003u)
#define E_FAIL COM_HRESULT(0x80004005u)
#define E_UNEXPECTED COM_HRESULT(0x8000FFFFu)
#define E_OUTOFMEMORY COM_HRESULT(0x8007000Eu)
#define E_INVALIDARG COM_HRESULT(0x80070057u)
#define CLASS_E_NOAGGREGATION COM_HRESULT(0x80040110u)
#define REGDB_E_CLASSNOTREG COM_HRESULT(0x80040154u)
#define CO_E_NOTINITIALIZED COM_HRESULT(0x800401F0u)
#define CO_E_SERVER_EXEC_FAILURE COM_HRESULT(0x80080005u)
#define RPC_E_DISCONNECTED COM_HRESULT(0x80010108u)
#define RPC_E_TIMEOUT COM_HRESULT(0x8001011Fu)
#define DISP_E_TYPEMISMATCH COM_HRESULT(0x80020005u)
#define DISP_E_BADVARTYPE COM_HRESULT(0x80020008u)
#define DISP_E_OVERFLOW COM_HRESULT(0x8002000Au)

// Returns the HRESULT for a system error code (0 gives S_OK, a negative code
// is taken as an HRESULT already).
inline HRESULT HRESULT_FROM_ERRNO(int code) {
  return code <= 0 ? static_cast<HRESULT>(code)
                   : COM_HRESULT((static_cast<uint32_t>(code) & 0xFFFFu) | 0x80070000u);
}

// Sets *text to what the host's message lookup gives for hr (no trailing line
// break) and returns true; returns false (text cleared) when the host has no
// text: the runtime's own codes and 0x8007xxxx made from a system error with
// a text have one, every other code has none.
bool Com_HResultText(HRESULT hr, std::string *text);

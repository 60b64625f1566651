// Start-up measures that close the process to the user's other programs
// and switch on the protections Windows offers without a setting. Each
// runs before the first window; a measure the system does not offer, or
// refuses, is traced and the start goes on.
#pragma once

#include <windows.h>

#include <string>

namespace vnk {

// What other processes of the user may not do to this one: read, write or
// change its memory, start threads in it, take its handles.
constexpr DWORD kDeniedToUsersProcesses =
    PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_VM_OPERATION | PROCESS_CREATE_THREAD | PROCESS_DUP_HANDLE;
// What they still may: wait for it, ask who it is, end it, read this DACL.
constexpr DWORD kLeftToUsersProcesses =
    SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | READ_CONTROL;

// What they may do to the process's threads and its other unnamed objects
// (the token's default DACL, which applies to objects of every kind): wait
// for them, read their DACL, and read a thread's information.
// Suspending, reading or setting a thread's context, ending a thread: none
// of it. The query is what a driver's host asks for on the thread that
// makes a device request (Wine's winedevice.exe, which runs as this user,
// opens the requesting thread with it and stops serving requests when
// refused). These bits mean nothing for events and the like; for a process
// they would allow more, but the process's own DACL is set explicitly and
// the client starts no other process.
constexpr DWORD kLeftToUsersObjects =
    SYNCHRONIZE | READ_CONTROL | THREAD_QUERY_INFORMATION | THREAD_QUERY_LIMITED_INFORMATION;

// The DACL of the process's threads and the token's default DACL: full
// access for SYSTEM, the rights above for the user, and for the objects'
// owner nothing beyond reading the DACL (an owner could otherwise rewrite
// it). The process itself uses its objects through the handles it got
// when it made them, which this DACL does not narrow.
std::wstring ObjectDaclSddl(const std::wstring& userSid);

// What the user's programs (and the process itself) may do with the
// process's token: read it and make a copy of it, whose own default is its
// own. Changing it (its default DACL, privileges, groups) or its DACL:
// none of it, so that no other program can give what the client makes
// from then on a DACL of its choosing.
constexpr DWORD kLeftToUsersToken =
    TOKEN_QUERY | TOKEN_QUERY_SOURCE | TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_ASSIGN_PRIMARY | READ_CONTROL;
std::wstring TokenDaclSddl(const std::wstring& userSid);

// The single-instance marker's: other instances of the user may open it
// to see that it exists (and nothing more), SYSTEM has full access.
std::wstring MarkerSddl(const std::wstring& userSid);

// The process DACL for the user with this SID text: the denial above for
// the user, full access for SYSTEM and Administrators, the rest above for
// the user, and for the object's owner nothing beyond reading the DACL (an
// owner could otherwise rewrite it).
std::wstring ProcessDaclSddl(const std::wstring& userSid);

void HardenProcess();

// Gives every thread of the process that runs now the object DACL. The
// system's libraries start threads of their own (the listener of device
// notifications, for one); where the platform does not give them the
// token's default DACL, a second pass after start-up does.
void CloseRunningThreadsToOtherProcesses();

}  // namespace vnk

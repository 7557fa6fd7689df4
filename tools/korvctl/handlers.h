// The subcommands that send one command and report its outcome: queued
// commands with their texts, the status and list views, watch, ban,
// disconnect and raw.
#pragma once

#include "context.h"
#include "texts.h"

namespace korvctl {

int RunQueued(Context& context, const Subcommand& row);
int RunStatus(Context& context, const Subcommand& row);
// One line: healthy only when the server runs with its console connected.
int RunHealth(Context& context, const Subcommand& row);
// Why a status line is not healthy; "" when the server runs with its
// console connected.
std::string Unhealthy(std::string_view line);
// The value of the field with `label`; "" when there is none.
std::string FieldValue(const Fields& fields, std::string_view label);
int RunAddress(Context& context, const Subcommand& row);
int RunList(Context& context, const Subcommand& row);
int RunPing(Context& context, const Subcommand& row);
int RunWhoami(Context& context, const Subcommand& row);
int RunWatch(Context& context, const Subcommand& row);
int RunBan(Context& context, const Subcommand& row);
int RunDisconnect(Context& context, const Subcommand& row);
int RunRaw(Context& context, const Subcommand& row);

// Command texts from the words; false with a usage message.
bool MapText(Context& context, std::string* text, std::string* error);
bool ChatText(Context& context, std::string* text, std::string* error);
bool ConsoleText(Context& context, std::string* text, std::string* error);
bool NameText(Context& context, std::string* text, std::string* error);
bool ScreenshotText(Context& context, std::string* text, std::string* error);
bool IdleMapText(Context& context, std::string* text, std::string* error);
bool KickText(Context& context, std::string* text, std::string* error);
bool UnbanText(Context& context, std::string* text, std::string* error);
bool PasswordText(Context& context, std::string* text, std::string* error);

}  // namespace korvctl

/* A polkit authority for the benchmarks: owns org.freedesktop.PolicyKit1 on the bus
 * that DBUS_SYSTEM_BUS_ADDRESS names and answers CheckAuthorization with the
 * word in the answer file (authorised, challenged, refused, error,
 * malformed), read afresh for every question. Each question is appended to
 * the log file before the answer goes out, one line of tab-separated fields:
 * subject kind, action id, then name:type:value per subject detail. It
 * answers org.freedesktop.DBus.Peer.Ping too, for the benchmarks.
 * Usage: polkit_stub ANSWER_FILE LOG_FILE */
#include <dbus/dbus.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define AUTHORITY_NAME "org.freedesktop.PolicyKit1"
#define AUTHORITY_INTERFACE "org.freedesktop.PolicyKit1.Authority"
#define QUESTION_SIGNATURE "(sa{sv})sa{ss}us"

static void readAnswer(const char* path, char* answer, size_t size)
{
    FILE* file = fopen(path, "r");
    answer[0] = '\0';
    if (file != NULL) {
        answer[fread(answer, 1, size - 1, file)] = '\0';
        fclose(file);
    }
    answer[strcspn(answer, "\r\n")] = '\0';
}

/* The subject's details carry u, t and i values only. */
static void recordQuestion(DBusMessage* message, FILE* log)
{
    DBusMessageIter args, subject, details, entry, variant;
    const char *kind = "", *action = "", *name = "";
    DBusBasicValue value;
    dbus_message_iter_init(message, &args);
    dbus_message_iter_recurse(&args, &subject);
    dbus_message_iter_get_basic(&subject, &kind);
    dbus_message_iter_next(&subject);
    dbus_message_iter_next(&args);
    dbus_message_iter_get_basic(&args, &action);
    fprintf(log, "%s\t%s", kind, action);
    for (dbus_message_iter_recurse(&subject, &details); dbus_message_iter_get_arg_type(&details) == DBUS_TYPE_DICT_ENTRY;
         dbus_message_iter_next(&details)) {
        dbus_message_iter_recurse(&details, &entry);
        dbus_message_iter_get_basic(&entry, &name);
        dbus_message_iter_next(&entry);
        dbus_message_iter_recurse(&entry, &variant);
        const int type = dbus_message_iter_get_arg_type(&variant);
        dbus_message_iter_get_basic(&variant, &value);
        fprintf(log, "\t%s:%c:%" PRIu64, name, type,
                type == DBUS_TYPE_UINT64 ? (uint64_t)value.u64
                : type == DBUS_TYPE_INT32 ? (uint64_t)value.i32 : (uint64_t)value.u32);
    }
    fputc('\n', log);
    fflush(log);
}

static DBusMessage* answerQuestion(DBusMessage* message, const char* answer)
{
    if (strcmp(answer, "error") == 0) {
        return dbus_message_new_error(message, "org.freedesktop.PolicyKit1.Error.Failed", "stub refuses to answer");
    }
    DBusMessage* reply = dbus_message_new_method_return(message);
    DBusMessageIter args, result, details;
    const int malformed = strcmp(answer, "malformed") == 0;
    dbus_bool_t authorised = malformed || strcmp(answer, "authorised") == 0;
    dbus_bool_t challenged = strcmp(answer, "challenged") == 0;
    const char* notADictionary = "x";
    dbus_message_iter_init_append(reply, &args);
    dbus_message_iter_open_container(&args, DBUS_TYPE_STRUCT, NULL, &result);
    dbus_message_iter_append_basic(&result, DBUS_TYPE_BOOLEAN, &authorised);
    dbus_message_iter_append_basic(&result, DBUS_TYPE_BOOLEAN, &challenged);
    if (malformed) {
        dbus_message_iter_append_basic(&result, DBUS_TYPE_STRING, &notADictionary);
    } else {
        dbus_message_iter_open_container(&result, DBUS_TYPE_ARRAY, "{ss}", &details);
        dbus_message_iter_close_container(&result, &details);
    }
    dbus_message_iter_close_container(&args, &result);
    return reply;
}

int main(int argc, char** argv)
{
    const char* address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (argc != 3 || address == NULL) {
        fprintf(stderr, "usage: DBUS_SYSTEM_BUS_ADDRESS=... %s ANSWER_FILE LOG_FILE\n", argv[0]);
        return 2;
    }
    FILE* log = fopen(argv[2], "a");
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = dbus_connection_open_private(address, &error);
    if (log == NULL || connection == NULL || !dbus_bus_register(connection, &error) ||
        dbus_bus_request_name(connection, AUTHORITY_NAME, DBUS_NAME_FLAG_DO_NOT_QUEUE, &error) !=
            DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        fprintf(stderr, "polkit stub: %s\n", error.message != NULL ? error.message : "cannot start");
        return 1;
    }
    while (dbus_connection_read_write(connection, -1)) {
        DBusMessage* message;
        while ((message = dbus_connection_pop_message(connection)) != NULL) {
            DBusMessage* reply = NULL;
            if (dbus_message_is_method_call(message, AUTHORITY_INTERFACE, "CheckAuthorization") &&
                dbus_message_has_signature(message, QUESTION_SIGNATURE)) {
                char answer[64];
                recordQuestion(message, log);
                readAnswer(argv[1], answer, sizeof(answer));
                reply = answerQuestion(message, answer);
            } else if (dbus_message_is_method_call(message, DBUS_INTERFACE_PEER, "Ping")) {
                reply = dbus_message_new_method_return(message);
            } else if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_METHOD_CALL) {
                reply = dbus_message_new_error(message, DBUS_ERROR_UNKNOWN_METHOD, "not a question this stub answers");
            }
            if (reply != NULL) {
                dbus_connection_send(connection, reply, NULL);
                dbus_message_unref(reply);
            }
            dbus_message_unref(message);
        }
    }
    return 0;
}

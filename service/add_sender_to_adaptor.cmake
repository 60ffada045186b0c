# Rewrites the generated adaptor so that each method takes the caller's
# unique bus name as its last argument: the pure virtual declarations gain
# "const std::string& sender" and each stub passes the call's sender field.
# Fails the build unless every method was rewritten both ways, so a change of
# the generator's output cannot silently leave a method without its caller.
#   cmake -DIN=raw.h -DOUT=adaptor.h -P add_sender_to_adaptor.cmake

cmake_policy(SET CMP0007 NEW)
file(READ ${IN} text)

string(REGEX MATCHALL "register_method\\(" registrations "${text}")
list(LENGTH registrations methods)

# Declarations: "virtual R name(args) = 0;" and "virtual R name() = 0;".
string(REGEX REPLACE "(\n    virtual [^\n]*[^(\n])\\) = 0;" "\\1, const std::string& sender) = 0;" text "${text}")
string(REGEX REPLACE "(\n    virtual [^\n]*)\\(\\) = 0;" "\\1(const std::string& sender) = 0;" text "${text}")
# Calls inside the stubs: "name(argin1, argout1);" and "= name();".
string(REGEX REPLACE "(\n        [^\n]*[A-Za-z_]+\\(arg[a-z0-9, ]*)\\);" "\\1, ::vetuCallSender(call));" text "${text}")
string(REGEX REPLACE "(\n        [^\n]* = [A-Za-z_]+)\\(\\);" "\\1(::vetuCallSender(call));" text "${text}")

string(REGEX MATCHALL "const std::string& sender\\) = 0" declarations "${text}")
string(REGEX MATCHALL "vetuCallSender\\(call\\)\\)" calls "${text}")
list(LENGTH declarations declared)
list(LENGTH calls passed)
if(NOT methods EQUAL 46 OR NOT declared EQUAL methods OR NOT passed EQUAL methods)
  message(FATAL_ERROR "adaptor rewrite: ${methods} methods, ${declared} declarations and ${passed} calls rewritten")
endif()

# The stubs call vetuCallSender, which the including header declares first.
string(REPLACE "#include <dbus-c++/dbus.h>" "#include <dbus-c++/dbus.h>\n#include <string>\n\nstd::string vetuCallSender(const ::DBus::CallMessage& call);" text "${text}")
file(WRITE ${OUT} "${text}")

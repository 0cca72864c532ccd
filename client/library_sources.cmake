# The sources of the client library as it is installed (libvarnex-client.so)
# and as the Python module links it: the public calls and the protocol code
# they run on (TLS through the system's shared libssl), nothing of the configuration store or the server log. The one
# list, relative to the top of the tree.
set(VARNEX_CLIENT_LIBRARY_SOURCES
  client/dqp_client.cpp client/port_query.cpp client/sql_client.cpp client/record_client.cpp
  client/connect_options.cpp protocol/tls_channel.cpp
  protocol/packet.cpp protocol/rle.cpp protocol/trace.cpp protocol/socket_io.cpp
  protocol/port_query_packet.cpp protocol/frame_reader.cpp protocol/cursor_name.cpp
  protocol/pieces.cpp protocol/sql_lexer.cpp protocol/typed_value.cpp)

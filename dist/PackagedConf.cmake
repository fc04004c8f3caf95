# Writes the packaged settings file, /etc/pellomar/pellomar.conf, from the commented example
# doc/pellomar.conf.example: a header for its place instead of the example's, and the GUI port
# bound to the loopback address. Every other section and key stays as the example shows it.
#   cmake -DEXAMPLE=doc/pellomar.conf.example -DOUT=pellomar.conf -P PackagedConf.cmake
set(head [=[
# /etc/pellomar/pellomar.conf: the agent's own settings (TOML), read once at start-up.
# Every key is optional; a missing key keeps its default. After a change:
#   pellomar --check-config && systemctl restart pellomar
# pellomar.conf(5) describes every key. A fault anywhere in this file limits the GUI port to
# loopback clients until it is mended. The service may write only /var/lib/pellomar and
# /var/log/pellomar: a folder or file elsewhere ([paths], [metrics] textfile) needs a matching
# ReadWritePaths= in a drop-in (systemctl edit pellomar).]=])
set(listen_example "\n#listen = \"127.0.0.1\"\n")
set(listen_packaged [=[

# The package binds the port to the loopback address, so that only local clients (pellomar-cli)
# reach it: whoever reaches it may relay commands to the controllers, a firmware image among
# them, and change the mail settings. To serve GUI clients on the network, comment this line
# out (every local IPv4 address) or name one address of this host, and limit them with allow.
listen = "127.0.0.1"
]=])

file(READ "${EXAMPLE}" text)
# The example's header is its first paragraph.
string(FIND "${text}" "\n\n" head_end)
string(FIND "${text}" "${listen_example}" listen_at)
if(head_end LESS 0 OR listen_at LESS 0)
  message(FATAL_ERROR "${EXAMPLE}: no header paragraph, or no '#listen = \"127.0.0.1\"' line")
endif()
string(SUBSTRING "${text}" ${head_end} -1 body)
string(REPLACE "${listen_example}" "${listen_packaged}" body "${body}")
file(WRITE "${OUT}" "${head}${body}")

' A script client that creates a port named by its argument (passed by reference, as scripts
' pass variables) and sets every setting, then prints what the port reads back.
Dim library, name, port
Set library = CreateObject("wharfcore.RemotePortLibrary")
name = "COM" & WScript.Arguments(0)
Set port = library.createPort(name)
port.remoteHost = "server.example"
port.remotePort = 4001
port.connectionTimeout = 15000
port.connectionAttempts = 3
port.login = "operator"
port.password = "s3cret"
port.domain = "WORKGROUP"
WScript.Echo "configured COM" & port.port & " " & port.remoteHost & ":" & port.remotePort & " " & _
    port.connectionTimeout & " " & port.connectionAttempts & " " & port.login & " " & port.domain

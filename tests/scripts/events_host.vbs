' Runs after tests/scripts/prelude.vbs, which tools/run_scripts.sh puts in front.
' Events through the script host (tests/components/event_source.cpp raises
' them): WScript.CreateObject with a prefix and WScript.ConnectObject call the
' script's Sub prefix & event name while Fire runs, with the event's arguments
' in order; Cancel = True in a handler reaches the object; an event without
' a handler is ignored; DisconnectObject ends the calls, also from inside a
' handler.
Dim heard, cancelAt, doneCount, quietDone
heard = "" : cancelAt = 0 : doneCount = -1 : quietDone = -1

Sub p_Ping(Number, Cancel)
  heard = heard & Number & ":" & TypeName(Number) & "," & TypeName(Cancel) & "," & Cancel & ";"
  If Number = cancelAt Then Cancel = True
End Sub

Sub p_Done(Count)
  doneCount = Count
End Sub

Dim pinger : Set pinger = WScript.CreateObject("VeskTest.Pinger", "p_")
Check pinger.Connections = 1, "CreateObject with a prefix connects the object"
Check pinger.Fire(3) = 3, "three pings raised"
Check heard = "1:Long,Boolean,False;2:Long,Boolean,False;3:Long,Boolean,False;", _
      "p_Ping called for each ping with Number and Cancel in order (heard " & heard & ")"
Check doneCount = 3, "p_Done called with the count (got " & doneCount & ")"

' Cancel passed by reference: the handler's True stops the object.
heard = "" : cancelAt = 2
Check pinger.Fire(5) = 2, "Cancel = True in the handler stops the pings after the second"
Check heard = "1:Long,Boolean,False;2:Long,Boolean,False;", "only two pings heard (heard " & heard & ")"
Check doneCount = 2, "Done reports the two pings (got " & doneCount & ")"
cancelAt = 0

' Disconnected: the object raises, nobody hears.
WScript.DisconnectObject pinger
Check pinger.Connections = 0, "DisconnectObject ends the connection"
heard = "" : doneCount = -1
Check pinger.Fire(2) = 2 And heard = "" And doneCount = -1, "no handler called once disconnected"
WScript.DisconnectObject pinger  ' not connected: nothing to do, no error

' Connected again with a prefix that has only a Done handler: Ping is ignored.
Sub q_Done(Count)
  quietDone = Count
End Sub
WScript.ConnectObject pinger, "q_"
Check pinger.Connections = 1, "ConnectObject connects an existing object"
Check pinger.Fire(4) = 4 And quietDone = 4 And heard = "", "an event without a handler is ignored"
WScript.DisconnectObject pinger

' Without IProvideClassInfo2 the host finds the source interface through the
' class's type information.
Dim plain : Set plain = CreateObject("VeskTest.Pinger")
plain.PlainClassInfo = True
WScript.ConnectObject plain, "p_"
heard = "" : cancelAt = 1
Check plain.Fire(3) = 1 And heard = "1:Long,Boolean,False;", "connected through the class's default source interface"
cancelAt = 0

' Two objects at once, and a handler that disconnects its own object on the
' way (the object calls on while the host forgets the connection).
Dim leaving : Set leaving = WScript.CreateObject("VeskTest.Pinger", "r_")
Dim leftAt : leftAt = 0
Sub r_Ping(Number, Cancel)
  leftAt = Number
  If Number = 2 Then WScript.DisconnectObject leaving
End Sub
heard = ""
Check leaving.Fire(5) = 5 And leftAt = 2 And leaving.Connections = 0, _
      "a handler disconnects its own object (last ping heard " & leftAt & ")"
Check plain.Fire(1) = 1 And heard = "1:Long,Boolean,False;", "the other object is still connected"

' A handler that calls another connected object: events nest.
Dim inner : inner = ""
Sub n_Ping(Number, Cancel)
  heard = ""
  plain.Fire 1
  inner = inner & Number & "(" & heard & ")"
End Sub
Dim outer : Set outer = WScript.CreateObject("VeskTest.Pinger", "n_")
Check outer.Fire(2) = 2 And inner = "1(1:Long,Boolean,False;)2(1:Long,Boolean,False;)", _
      "events raised from inside a handler reach their handlers (got " & inner & ")"

' Errors a script can handle: an object without events, and a bad ProgID.
On Error Resume Next
WScript.ConnectObject CreateObject("Scripting.Dictionary"), "d_"
Check Err.Number <> 0, "ConnectObject of an object without events fails"
Err.Clear
Dim missing : Set missing = WScript.CreateObject("VeskTest.NoSuchClass", "m_")
Check Err.Number <> 0 And InStr(Err.Description, "VeskTest.NoSuchClass") > 0, _
      "CreateObject of an unknown class fails, naming it (" & Err.Description & ")"
On Error GoTo 0

Finish

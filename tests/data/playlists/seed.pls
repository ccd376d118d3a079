[playlist]
File2=b.mp3
File1=a.mp3
Title1=x
Length1=3
NumberOfEntries=2
